// The read-back check of a run's archive: before a run calls its archive
// whole, the archive is read back whole by the reader (archive/reader.h),
// which shares no code with the writer, and the mark must read back as
// written.
#pragma once

#include <string>
#include <vector>

#include "archive/writer.h"
#include "platform/archive_key.h"
#include "platform/env.h"
#include "platform/status.h"

namespace vaultrun {

struct ZipEntryInfo;

// Checks a directory against the entries packed through one RunArchive:
// each of them is there once, with the sizes and CRC-32 it was packed with.
// With only_packed, the directory holds nothing else either. An archive
// that was replaced, cut or emptied under its run fails here.
Status HoldsPacked(const std::vector<ZipEntryInfo>& entries, const std::vector<PackedEntry>& packed,
                   bool only_packed, const std::string& context);

// Reads the whole archive back through the archive reader (libzip), a path
// apart from the one that wrote it: finds the end record as any reader does,
// walks the directory, reads every entry's data and checks it, and returns
// the zip comment as read. An entry that agrees with one of packed is checked by
// the CRC-32 of its deflated bytes; any other is inflated and its size and
// CRC-32 compared. With only_packed, the archive must hold exactly the
// entries of packed, each once and as it was packed, and nothing else; when
// packed holds a manifest (archive/manifest.h), it must list every other
// entry as it was packed, and with key (ready) the mark's tag must verify.
Status CheckArchive(Env* env, const std::string& archive_path, std::string* comment,
                    const std::vector<PackedEntry>& packed = {}, bool only_packed = false,
                    const ArchiveKeyResult* key = nullptr);

// Marks an archive that holds exactly the entries of packed: checks that it
// does (each once, as packed, nothing else), sets the comment, and reads the
// archive back with CheckArchive(only_packed), all under the folder's pack
// lock, so that another run's pack into the same archive cannot come between
// them. A check that fails, or a comment that reads back other than written,
// takes the comment off again and is returned.
Status SetArchiveCommentChecked(Env* env, const std::string& archive_path,
                                const std::string& comment,
                                const std::vector<PackedEntry>& packed = {},
                                const ArchiveKeyResult* key = nullptr);

}  // namespace vaultrun
