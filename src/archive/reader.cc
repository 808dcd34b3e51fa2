#include "restore/archive_reader.h"

#include <minizip/unzip.h>

#include <climits>

#include "platform/failure.h"
#include "run/zip_io.h"

namespace vaultrun::restore {
namespace {

constexpr int kErrArchive = 3001;

}  // namespace

std::optional<DataEntry> ParseEntryName(std::string_view name) {
  size_t slash = name.find('/');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  std::string_view file = name.substr(slash + 1);
  if (file.find('/') != std::string_view::npos || file.size() <= 4) return std::nullopt;
  DataEntry entry;
  std::string_view extension = file.substr(file.size() - 4);
  if (extension == ".sql") {
    entry.form = DataForm::kSql;
  } else if (extension == ".csv") {
    entry.form = DataForm::kTabSeparated;
  } else {
    return std::nullopt;
  }
  entry.name = std::string(name);
  entry.database = std::string(name.substr(0, slash));
  entry.table = std::string(file.substr(0, file.size() - 4));
  return entry;
}

void ArchiveReader::Closer::operator()(void* file) const { unzClose(static_cast<unzFile>(file)); }

ArchiveReader::ArchiveReader(const std::string& path)
    : path_(path), env_(NewDefaultEnv()), io_(std::make_unique<ZipIo>(env_.get())) {
  io_->set_read_mode(OpenMode::kRead);
  zip_.reset(unzOpen2_64(path.c_str(), io_->funcs()));
  if (!zip_) throw Failure(kErrArchive, path + ": cannot open it as a zip archive");
  unzFile zip = static_cast<unzFile>(zip_.get());

  unz_global_info64 info{};
  if (unzGetGlobalInfo64(zip, &info) != UNZ_OK) {
    throw Failure(kErrArchive, path + ": cannot read the archive's directory");
  }
  if (info.size_comment > 0) {
    comment_.resize(info.size_comment);
    int n = unzGetGlobalComment(zip, comment_.data(), info.size_comment + 1);
    if (n < 0) throw Failure(kErrArchive, path + ": cannot read the archive's comment");
    comment_.resize(static_cast<size_t>(n));
  }
  for (int status = unzGoToFirstFile(zip); status == UNZ_OK; status = unzGoToNextFile(zip)) {
    unz_file_info64 file{};
    if (unzGetCurrentFileInfo64(zip, &file, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
      throw Failure(kErrArchive, path + ": cannot read the archive's directory");
    }
    std::string name(file.size_filename, '\0');
    if (unzGetCurrentFileInfo64(zip, &file, name.data(), name.size() + 1, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
      throw Failure(kErrArchive, path + ": cannot read the archive's directory");
    }
    std::optional<DataEntry> entry = ParseEntryName(name);
    if (!entry) continue;
    entry->size = file.uncompressed_size;
    entries_.push_back(std::move(*entry));
  }
}

ArchiveReader::~ArchiveReader() { CloseEntry(); }

void ArchiveReader::CloseEntry() {
  if (open_entry_.empty()) return;
  unzCloseCurrentFile(static_cast<unzFile>(zip_.get()));
  open_entry_.clear();
}

void ArchiveReader::Open(const DataEntry& entry) {
  CloseEntry();
  unzFile zip = static_cast<unzFile>(zip_.get());
  if (unzLocateFile(zip, entry.name.c_str(), 1) != UNZ_OK || unzOpenCurrentFile(zip) != UNZ_OK) {
    throw Failure(kErrArchive, path_ + ": cannot open entry " + entry.name);
  }
  open_entry_ = entry.name;
}

size_t ArchiveReader::Read(char* buffer, size_t size) {
  if (open_entry_.empty()) return 0;
  unzFile zip = static_cast<unzFile>(zip_.get());
  unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
  int n = unzReadCurrentFile(zip, buffer, chunk);
  if (n > 0) return static_cast<size_t>(n);
  std::string name = open_entry_;
  if (n < 0) {
    CloseEntry();
    throw Failure(kErrArchive, path_ + ": entry " + name + " is damaged (error " +
                                   std::to_string(n) + " while inflating)");
  }
  // At the end: closing checks the CRC of everything read.
  open_entry_.clear();
  if (unzCloseCurrentFile(zip) != UNZ_OK) {
    throw Failure(kErrArchive, path_ + ": entry " + name + " is damaged (CRC mismatch)");
  }
  return 0;
}

}  // namespace vaultrun::restore
