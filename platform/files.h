// Whole-file helpers shared by the list files, the settings and the log.
#pragma once

#include <cerrno>
#include <functional>
#include <string>
#include <sys/types.h>

namespace mg {

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& data);

// Replaces `path` with `data` through a temporary file in the same directory
// ("<path>.tmp-XXXXXX", locked while it is written), flushed and renamed over
// the old file: either the new content is complete on disk or the old file is
// untouched. A symbolic link is written through: its target gets the content,
// and the link stays. `mode` applies to a new file; an existing file keeps its
// mode unless `forceMode` is set.
bool WriteFileAtomic(const std::string& path, const std::string& data, mode_t mode = 0644, bool forceMode = false);

// The file `path` names once symbolic links are followed (a link to a missing
// file names that file); `path` itself when it is no link.
std::string FileBehindLinks(const std::string& path);

// Removes from `dir` what a WriteFileAtomic interrupted by a crash left there:
// the temporaries of the files whose names `ours` accepts, each a regular file
// of this user's that no save is writing. Returns how many went.
int RemoveLeftTemporaries(const std::string& dir, const std::function<bool(const std::string& name)>& ours);

// Copies src over dst the same safe way (the Windows CopyFile with
// "fail if exists" false). False when src cannot be read or dst written.
bool CopyFileReplacing(const std::string& src, const std::string& dst);

bool FileExists(const std::string& path);

// Tests only: while set, every WriteFileAtomic whose path the predicate
// accepts fails with `error` as if the disk were full or read-only.
void SetWriteFaultForTest(std::function<bool(const std::string& path)> predicate, int error = ENOSPC);

}  // namespace mg
