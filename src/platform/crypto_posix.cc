// The crypto seam on POSIX: OpenSSL's libcrypto (EVP digests and MACs) and
// the kernel's random generator.
#include <errno.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include "platform/crypto.h"

namespace vaultrun {
namespace {

// The library's latest error as a Status ("context: detail").
Status LibraryError(const char* context) {
  unsigned long code = ERR_get_error();
  char text[256] = "unknown error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return Status::Error(EIO, std::string(context) + ": " + text);
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct MacFree {
  void operator()(EVP_MAC* m) const { EVP_MAC_free(m); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};

}  // namespace

struct Sha256::Impl {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx{EVP_MD_CTX_new()};
  Status status;
  bool finished = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx.get(), EVP_sha256(), nullptr) != 1) {
    impl_->status = LibraryError("SHA-256");
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  if (!impl_->status.ok() || impl_->finished || size == 0) return;
  if (EVP_DigestUpdate(impl_->ctx.get(), data, size) != 1) impl_->status = LibraryError("SHA-256");
}

Status Sha256::Finish(Sha256Digest* digest) {
  if (impl_->finished) return Status::Error(EINVAL, "SHA-256: finished already");
  impl_->finished = true;
  if (!impl_->status.ok()) return impl_->status;
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(impl_->ctx.get(), digest->data(), &size) != 1 || size != kSha256Bytes) {
    return LibraryError("SHA-256");
  }
  return Status::OK();
}

struct HmacSha256::Impl {
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx;
  Status status;
  bool finished = false;
};

HmacSha256::HmacSha256(std::string_view key) : impl_(std::make_unique<Impl>()) {
  std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (mac) impl_->ctx.reset(EVP_MAC_CTX_new(mac.get()));
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  // An empty key is a valid HMAC key; the library wants a non-null pointer.
  static const unsigned char kNoKey = 0;
  const unsigned char* key_bytes =
      key.empty() ? &kNoKey : reinterpret_cast<const unsigned char*>(key.data());
  if (!impl_->ctx || EVP_MAC_init(impl_->ctx.get(), key_bytes, key.size(), params) != 1) {
    impl_->status = LibraryError("HMAC-SHA256");
  }
}

HmacSha256::~HmacSha256() = default;

void HmacSha256::Update(const void* data, size_t size) {
  if (!impl_->status.ok() || impl_->finished || size == 0) return;
  if (EVP_MAC_update(impl_->ctx.get(), static_cast<const unsigned char*>(data), size) != 1) {
    impl_->status = LibraryError("HMAC-SHA256");
  }
}

Status HmacSha256::Finish(Sha256Digest* tag) {
  if (impl_->finished) return Status::Error(EINVAL, "HMAC-SHA256: finished already");
  impl_->finished = true;
  if (!impl_->status.ok()) return impl_->status;
  size_t size = 0;
  if (EVP_MAC_final(impl_->ctx.get(), tag->data(), &size, tag->size()) != 1 ||
      size != kSha256Bytes) {
    return LibraryError("HMAC-SHA256");
  }
  return Status::OK();
}

Status SystemRandomBytes(void* data, size_t size) {
  auto* out = static_cast<unsigned char*>(data);
  while (size > 0) {
    // Without GRND_NONBLOCK it waits until the kernel's pool is seeded.
    ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno("random bytes", errno);
    }
    out += n;
    size -= static_cast<size_t>(n);
  }
  return Status::OK();
}

}  // namespace vaultrun
