#pragma once

// A file written under a hidden name beside its target, ".NAME-XXXXXX.EXT",
// and renamed onto the target only when whole: a reader never finds half a
// file, and a run that fails or is stopped leaves none. A target that is
// already there and is no regular file (a device, a named pipe) cannot be
// replaced whole: it is written in place.
//
//   wholefile::File file;
//   if (!file.create("show.fseq", error) || !file.write(bytes, size, error) || !file.commit(error))
//       ...  // the destructor removes what was written
//
// Each failure is said whole in `error`, naming the target, for the caller to
// pass on as it is: "cannot write show.fseq: No space left on device". The
// file belongs to no tool, so it reports and lets its caller decide.

#include <cstddef>
#include <string>

namespace wholefile {

class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { remove(); }

    // The target's name ends in its format's ending, such as ".gif", which
    // the hidden name keeps for programs that go by it; a name without one
    // is refused.
    bool create(const std::string& target, std::string& error);
    // Where the bytes go until the commit.
    const std::string& path() const { return path_; }
    bool write(const void* data, std::size_t size, std::string& error);
    // Closes the file and renames it onto the target.
    bool commit(std::string& error);
    // Removes what was written; nothing to do once committed.
    void remove();

private:
    std::string target_;
    std::string path_;  // empty when there is no file of ours to remove
    int fd_ = -1;
    bool inPlace_ = false;  // the target itself, which is never removed
};

}  // namespace wholefile
