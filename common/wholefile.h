#pragma once

// A file written under a hidden name beside its target, ".NAME-XXXXXX.EXT",
// and renamed onto the target only when whole: a reader never finds half a
// file, and a run that fails or is stopped leaves none.
//
//   WholeFile file;
//   if (!file.create("show.fseq", error) || !file.write(bytes, size, error) || !file.commit(error))
//       ...  // the destructor removes what was written

#include <cstddef>
#include <string>

namespace process {

class WholeFile {
public:
    WholeFile() = default;
    WholeFile(const WholeFile&) = delete;
    WholeFile& operator=(const WholeFile&) = delete;
    ~WholeFile() { remove(); }

    // The target ends in its format's ending, which the hidden name keeps.
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
};

}  // namespace process
