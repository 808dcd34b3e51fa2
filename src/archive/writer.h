// One run's zip archive: data files are packed into it one entry at a time,
// each pack appending in place, and a pack that fails or is interrupted
// leaves the archive as it was before it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "platform/env.h"
#include "platform/status.h"

namespace vaultrun {

// 14 digits yyyymmddhhnnss, zero-padded, 24-hour clock:
// {2006,3,5,9,7,2} -> "20060305090702".
std::string DateStamp(const LocalTime& t);

// The second after t on the calendar ({2026,12,31,23,59,59} -> the first
// second of 2027): the stamp a run takes when its own is already used.
LocalTime NextSecond(LocalTime t);

// An entry as a pack wrote it: its deflated bytes were inflated as they were
// written and gave size bytes with CRC-32 crc; deflated_crc is the CRC-32 of
// those deflated bytes, so a stored copy can be compared with them later
// without inflating it again.
struct PackedEntry {
  std::string name;
  uint64_t size = 0;
  uint32_t crc = 0;
  uint64_t deflated_size = 0;
  uint32_t deflated_crc = 0;
};

// One run's zip archive, appended in place one entry at a time. Packs into
// archives of one folder are serialized between threads and processes by a
// lock file in that folder. Not thread-safe itself: one owner at a time.
class RunArchive {
 public:
  RunArchive(Env* env, std::string archive_path);  // touches nothing yet
  ~RunArchive();                                   // aborts an entry still open
  RunArchive(const RunArchive&) = delete;
  RunArchive& operator=(const RunArchive&) = delete;

  // Starts entry entry_name (UTF-8, e.g. "gamedb/accounts.sql"): creates the
  // archive on the first entry (mode 0600) or opens the existing one, saves
  // its tail, and opens the zip entry. An existing entry of the same name is
  // replaced when the pack is committed. size_hint is the expected
  // uncompressed size, or UINT64_MAX when unknown (chooses zip64).
  void BeginEntry(const std::string& entry_name, uint64_t size_hint);
  // Adds bytes to the open entry; they are deflated on a second thread and
  // appended to the archive as they come. Raises a Failure as soon as a
  // compression or write error is known (the pack is then aborted).
  void Write(const char* data, size_t n);
  // The same for a whole block, handed to the compressing thread without a
  // copy; an empty block is left in its place (also when it raises).
  void WriteBlock(std::unique_ptr<ByteBuffer>* block);
  // Finishes the entry, writes the central directory, syncs and drops the
  // saved tail. The archive is then a valid zip holding every entry packed
  // so far. On failure the archive is put back as it was before BeginEntry
  // and a Failure is raised.
  void CommitEntry();
  // Puts the archive back as it was before BeginEntry (a new archive is
  // removed). Does nothing when no entry is open.
  void AbortEntry() noexcept;
  // BeginEntry + the whole file at data_file_path (read through Env) +
  // CommitEntry.
  void PackFile(const std::string& data_file_path, const std::string& entry_name);

  const std::string& path() const { return path_; }
  // How many deflated bytes of an entry are written past minizip before it
  // takes them over (3 GiB; tests make it small to see the hand-over).
  void set_past_minizip_limit(uint64_t bytes);
  // Every entry committed through this object, the last of each name.
  const std::vector<PackedEntry>& packed() const { return packed_; }

 private:
  struct Pack;
  // Opens the zip for writing per the pack's mode and opens the entry.
  void OpenZip(Pack* pack, const std::string& entry_name, uint64_t size_hint);
  // Abandons the open pack and puts the archive back; returns the failure
  // of putting it back, if any (the tail file then stays for a repair).
  Status Rollback() noexcept;
  // Rolls back and raises status.
  [[noreturn]] void Fail(const Status& status);

  Env* env_;
  std::string path_;
  std::unique_ptr<Pack> pack_;
  std::vector<PackedEntry> packed_;
  uint64_t past_minizip_limit_;
};

// Replaces the archive's zip comment (at most 65,535 bytes), safely against
// a crash halfway, under the folder's pack lock.
Status SetArchiveComment(Env* env, const std::string& archive_path, const std::string& comment);

// The archive's zip comment ("" when it has none).
Status ReadArchiveComment(Env* env, const std::string& archive_path, std::string* comment);

// The comment that an archive's last bytes end in: tail holds the file's
// last bytes (its last kCommentTailBytes hold any comment with its end
// record). Nothing when they end in no end record. For an archive that is
// only reachable in part, such as one on an off-site remote.
inline constexpr uint64_t kCommentTailBytes = 65535 + 22;
std::optional<std::string> CommentOfTail(const std::string& tail);

// Puts back an archive that a killed process left mid-pack from the tail
// file beside it; OK and nothing done when there is none. A tail file that
// is damaged, or that belongs to a pack whose archive is already complete,
// is removed without touching the archive. Takes the folder's pack lock, so
// it must not be called while this thread has a pack open in that folder.
Status RepairArchive(Env* env, const std::string& archive_path);

}  // namespace vaultrun
