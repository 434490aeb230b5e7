#include "ops/worker_thread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <new>
#include <string>
#include <thread>

namespace {

// Set by a test: the next allocation of this thread fails, as when no memory
// is left for a new thread's state. The standard delete frees with free().
thread_local bool failNextAllocation = false;

}  // namespace

void* operator new(std::size_t size) {
  if (failNextAllocation) {
    failNextAllocation = false;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}

namespace zavex {
namespace {

TEST(StartDetachedWorker, RunsTheBodyOnAnotherThread) {
  std::promise<std::thread::id> ran;
  bool failed = false;
  StartDetachedWorker([&ran] { ran.set_value(std::this_thread::get_id()); },
                      [&failed](const std::wstring&) { failed = true; });
  auto worker = ran.get_future();
  ASSERT_EQ(worker.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_NE(worker.get(), std::this_thread::get_id());
  EXPECT_FALSE(failed);
}

TEST(StartDetachedWorker, ThreadThatCannotStartIsReportedInstead) {
  bool ran = false;
  std::wstring reported;
  std::function<void()> body = [&ran] { ran = true; };
  // The body is built already: the next allocation is the thread's state.
  failNextAllocation = true;
  StartDetachedWorker(std::move(body), [&reported](const std::wstring& error) { reported = error; });
  failNextAllocation = false;
  Sleep(200);
  EXPECT_FALSE(ran);
  const std::wstring prefix = L"Falha ao iniciar a operação: ";
  EXPECT_EQ(reported.substr(0, prefix.size()), prefix);
  EXPECT_GT(reported.size(), prefix.size());
}

}  // namespace
}  // namespace zavex
