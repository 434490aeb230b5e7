#include <fstream>
#include <sstream>

#include "publish/signing_fixture.h"

namespace zavex::test {

std::string ReadTestData(const std::string& relativePath) {
  std::ifstream input(std::string(ZAVEX_TESTS_SOURCE_DIR) + "/" + relativePath, std::ios::binary);
  std::ostringstream content;
  content << input.rdbuf();
  return content.str();
}

}  // namespace zavex::test
