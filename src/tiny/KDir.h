#pragma once
// Lists the entries of one directory, "." and ".." included.
#include <string>

namespace tavir::tiny {

class KDir {
public:
    // open() flag: fill DirEntry::type.
    static const unsigned int wantTypes = 0x2;

    struct DirEntry {
        enum Type {
            none = 0, // also always when types were not asked for
            file = 1,
            directory = 2,
            charDevice = 3,
            blockDevice = 4,
            fifo = 5,
            symlink = 6,
            socket = 7,
        };
        std::string name;
        int type = none;
    };

    KDir() = default;
    ~KDir();
    KDir(const KDir&) = delete;
    KDir& operator=(const KDir&) = delete;

    // False when already open, path is null or the directory can't be read.
    // A symbolic link given as the path is followed; entries are not.
    bool open(const char* path, unsigned int flags = 0);
    bool readNextEntry(DirEntry& entry);
    // Reads the list again from the start.
    bool rewind();
    bool close();
    bool is_opened() const { return opened_; }

private:
    bool readChildren();

    bool opened_ = false;
    unsigned int flags_ = 0;
    // The fts walk, its root entry and the next child to give (fts types are
    // kept out of this header).
    void* fts_ = nullptr;
    void* root_ = nullptr;
    void* next_ = nullptr;
};

} // namespace tavir::tiny
