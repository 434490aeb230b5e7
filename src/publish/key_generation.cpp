#include "publish/key_generation.h"

#include <system_error>

#include "publish/key_files.h"
#include "publish/new_file.h"
#include "publish/release_signer.h"

namespace fs = std::filesystem;

namespace zavex {

bool GenerateKeyFiles(const fs::path& folder, std::string& error) {
  const fs::path privateFile = folder / kPrivateKeyFileName;
  const fs::path publicFile = folder / kPublicKeyFileName;
  std::error_code ignored;
  if (!fs::is_directory(folder, ignored)) {
    error = "the folder \"" + folder.u8string() + "\" does not exist";
    return false;
  }
  for (const fs::path& file : {privateFile, publicFile}) {
    if (fs::exists(fs::symlink_status(file, ignored))) {
      error = "\"" + file.u8string() + "\" exists already; it is not overwritten";
      return false;
    }
  }
  SigningKey key;
  if (!GenerateSigningKey(key)) {
    error = "cannot generate a P-256 key pair";
    return false;
  }
  return CreateNewFile(privateFile, WritePrivateKeyPem(key), true, error) &&
         CreateNewFile(publicFile, WritePublicKeyPem(key), false, error);
}

}  // namespace zavex
