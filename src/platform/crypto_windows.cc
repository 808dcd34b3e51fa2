// The crypto seam on Windows: CNG (bcrypt.dll) for SHA-256, HMAC-SHA256 and
// the system's random generator.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <cstdio>

#include "platform/crypto.h"

namespace vaultrun {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

Status CngError(const char* context, NTSTATUS status) {
  char text[64];
  std::snprintf(text, sizeof text, ": CNG status 0x%08lX", static_cast<unsigned long>(status));
  return Status::Error(static_cast<int>(status), std::string(context) + text);
}

// An open algorithm provider and one hash object of it; both are released
// by the destructor.
class CngHash {
 public:
  CngHash(const char* context, bool hmac, std::string_view key) : context_(context) {
    NTSTATUS s = ::BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr,
                                               hmac ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0);
    if (!Succeeded(s)) {
      algorithm_ = nullptr;
      status_ = CngError(context_, s);
      return;
    }
    // CNG keeps the hash object's memory itself when given none. The key
    // is copied by CNG; an empty key is passed as no bytes.
    s = ::BCryptCreateHash(
        algorithm_, &hash_, nullptr, 0,
        key.empty() ? nullptr : reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
        static_cast<ULONG>(key.size()), 0);
    if (!Succeeded(s)) {
      hash_ = nullptr;
      status_ = CngError(context_, s);
    }
  }
  ~CngHash() {
    if (hash_ != nullptr) ::BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) ::BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  CngHash(const CngHash&) = delete;
  CngHash& operator=(const CngHash&) = delete;

  void Update(const void* data, size_t size) {
    if (!status_.ok() || finished_) return;
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    // ULONG counts: feed a larger buffer in pieces.
    while (size > 0) {
      ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
      NTSTATUS s = ::BCryptHashData(hash_, bytes, piece, 0);
      if (!Succeeded(s)) {
        status_ = CngError(context_, s);
        return;
      }
      bytes += piece;
      size -= piece;
    }
  }

  Status Finish(Sha256Digest* out) {
    if (finished_)
      return Status::Error(ERROR_INVALID_STATE, std::string(context_) + ": finished already");
    finished_ = true;
    if (!status_.ok()) return status_;
    NTSTATUS s = ::BCryptFinishHash(hash_, out->data(), static_cast<ULONG>(out->size()), 0);
    return Succeeded(s) ? Status::OK() : CngError(context_, s);
  }

 private:
  const char* context_;
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  Status status_;
  bool finished_ = false;
};

}  // namespace

struct Sha256::Impl {
  CngHash hash{"SHA-256", false, {}};
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {}
Sha256::~Sha256() = default;
void Sha256::Update(const void* data, size_t size) { impl_->hash.Update(data, size); }
Status Sha256::Finish(Sha256Digest* digest) { return impl_->hash.Finish(digest); }

struct HmacSha256::Impl {
  explicit Impl(std::string_view key) : hash("HMAC-SHA256", true, key) {}
  CngHash hash;
};

HmacSha256::HmacSha256(std::string_view key) : impl_(std::make_unique<Impl>(key)) {}
HmacSha256::~HmacSha256() = default;
void HmacSha256::Update(const void* data, size_t size) { impl_->hash.Update(data, size); }
Status HmacSha256::Finish(Sha256Digest* tag) { return impl_->hash.Finish(tag); }

Status SystemRandomBytes(void* data, size_t size) {
  auto* out = static_cast<PUCHAR>(data);
  while (size > 0) {
    ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    NTSTATUS s = ::BCryptGenRandom(nullptr, out, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!Succeeded(s)) return CngError("random bytes", s);
    out += piece;
    size -= piece;
  }
  return Status::OK();
}

}  // namespace vaultrun
