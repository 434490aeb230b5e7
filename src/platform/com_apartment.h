#pragma once

namespace zavex {

// COM in a single-threaded apartment on the calling thread for the object's
// lifetime, unless the thread has COM already (in either model).
class ComApartment {
 public:
  ComApartment();
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  const bool initialized;
};

}  // namespace zavex
