#include <algorithm>
#include <vector>

#include "platform/signature_verifier.h"
#include "publish/signing_fixture.h"

namespace zavex::test {

bool SignatureVerifies(const std::array<std::uint8_t, 64>& publicPoint, std::string_view bytes,
                       const ManifestSignature& signature) {
  std::vector<std::uint8_t> blob = {'E', 'C', 'S', '1', 32, 0, 0, 0};
  blob.insert(blob.end(), publicPoint.begin(), publicPoint.end());
  return VerifyEcdsaP256(blob.data(), blob.size(), bytes, signature);
}

}  // namespace zavex::test
