#include "fakes.h"

#include <cerrno>

namespace vaultrun::test {
namespace {

class FaultFile : public File {
 public:
  FaultFile(FaultEnv* env, std::string path, std::unique_ptr<File> target)
      : env_(env), path_(std::move(path)), target_(std::move(target)) {}
  Status Read(char* buf, size_t n, size_t* read) override { return target_->Read(buf, n, read); }
  Status Write(const char* data, size_t n) override {
    if (!env_->AllowWrite(path_, n)) {
      return Status::Error(ENOSPC, "write " + path_ + ": No space left on device");
    }
    return target_->Write(data, n);
  }
  Status Seek(uint64_t offset) override { return target_->Seek(offset); }
  Status SeekToEnd(uint64_t* offset) override { return target_->SeekToEnd(offset); }
  uint64_t Tell() const override { return target_->Tell(); }
  Status Truncate(uint64_t length) override {
    Status s = env_->Hook("Truncate", path_);
    return s.ok() ? target_->Truncate(length) : s;
  }
  Status Sync() override {
    Status s = env_->Hook("Sync", path_);
    return s.ok() ? target_->Sync() : s;
  }
  Status Close() override {
    Status s = env_->Hook("Close", path_);
    Status c = target_->Close();
    return s.ok() ? c : s;
  }

 private:
  FaultEnv* env_;
  std::string path_;
  std::unique_ptr<File> target_;
};

}  // namespace

bool FaultEnv::AllowWrite(const std::string& path, size_t n) {
  if (!write_fault_armed_ || path.find(write_path_part_) == std::string::npos) return true;
  if (n > write_budget_) {
    write_budget_ = 0;
    return false;
  }
  write_budget_ -= n;
  return true;
}

Status FaultEnv::OpenFile(const std::string& path, OpenMode how, int mode,
                          std::unique_ptr<File>* result) {
  Status s = Hook("OpenFile", path);
  if (!s.ok()) return s;
  std::unique_ptr<File> file;
  s = target()->OpenFile(path, how, mode, &file);
  if (!s.ok()) return s;
  *result = std::make_unique<FaultFile>(this, path, std::move(file));
  return Status::OK();
}

Status FaultEnv::CreateFolder(const std::string& path, int mode) {
  Status s = Hook("CreateFolder", path);
  return s.ok() ? target()->CreateFolder(path, mode) : s;
}

Status FaultEnv::RenameFile(const std::string& source, const std::string& target_path) {
  Status s = Hook("RenameFile", source);
  return s.ok() ? target()->RenameFile(source, target_path) : s;
}

Status FaultEnv::DeleteFile(const std::string& path) {
  Status s = Hook("DeleteFile", path);
  return s.ok() ? target()->DeleteFile(path) : s;
}

Status FaultEnv::TruncateFile(const std::string& path, uint64_t length) {
  Status s = Hook("TruncateFile", path);
  return s.ok() ? target()->TruncateFile(path, length) : s;
}

}  // namespace vaultrun::test
