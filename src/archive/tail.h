// The crash tail: before a pack or a new comment overwrites an archive's
// central directory, the bytes from there to the end are saved beside it in
// "<archive>.tail" (written whole or not at all), so that a failed pack is
// put back, and a pack cut off by a killed process is put back by the next
// run. Packs into the archives of one folder take turns under a lock file
// there (LockPath). Used by the writer; RepairArchive and the comment's
// functions are public (writer.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/env.h"
#include "platform/status.h"

namespace vaultrun {

enum class TailKind : char {
  kAppend = 'A',   // archive existed: put `bytes` back at `offset`, truncate
  kNew = 'N',      // archive did not exist: remove it
  kReplace = 'R',  // archive untouched, a rewritten copy is being built
};

struct TailRecord {
  TailKind kind = TailKind::kNew;
  uint64_t offset = 0;
  std::string bytes;
};

std::string TailPath(const std::string& path);
// The rewritten copy of a pack that replaces an entry.
std::string RewritePath(const std::string& path);
// The lock file of the archive's folder.
std::string LockPath(Env* env, const std::string& path);

// Little-endian fields.
void PutLe(std::string* out, uint64_t v, int bytes);
uint64_t GetLe(const std::string& s, size_t at, int bytes);

// Written to a temp name, synced and renamed: the tail file is either absent
// or complete.
Status WriteTailFile(Env* env, const std::string& archive_path, const TailRecord& rec);
Status DeleteIfExists(Env* env, const std::string& path);
// Cuts the archive back to offset and writes tail there.
Status PutBackTail(Env* env, const std::string& path, uint64_t offset, const std::string& tail);
// Replaces the archive's comment, the folder's lock held; the old tail is
// saved first, so a crash halfway is put back like a pack.
Status SetCommentLocked(Env* env, const std::string& path, const std::string& comment);
// RepairArchive with the folder's lock already held.
Status RepairLocked(Env* env, const std::string& path);

}  // namespace vaultrun
