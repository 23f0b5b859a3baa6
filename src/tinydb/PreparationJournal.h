#pragma once
// What a run changes on a target, kept on disk for as long as it is changed,
// so that a run that is killed, or dies with the machine, leaves its next
// start enough to put the target back. Beside the known-hosts file, per
// target:
//   prepared-<host>_<port>.lock     held (flock) by the live run for its
//                                   whole life; names that run; removed
//                                   with the lock when no journal is left
//   prepared-<host>_<port>.journal  the settings the run found and what
//                                   it sets in their place, written before
//                                   it changed any and removed once every
//                                   one of them is back
// The folder must be the user's own and closed to others (it is made 0700);
// the files are 0600 and never followed through a symbolic link. The
// journal holds the target's own master password (it must be put back) and
// no other secret.
#include "tinydb/SavedSettings.h"
#include "utils/PrivateFile.h"

#include <cstdint>
#include <string>

namespace tavir::tinydb {

// Who ran a preparation: enough to name that run to an administrator.
struct RunIdentity {
    std::string host; // this computer's name
    long pid = 0;
    std::int64_t startTime = 0; // seconds since 1970

    static RunIdentity ofThisProcess(std::int64_t startTime);
    // "<pid>_<start>_<host>", the host kept to letters, digits, '.' and '-':
    // what the temporary access list's name carries, so that another
    // computer can name the run from the target alone.
    std::string tag() const;
    // From an access list named "zorp_xxxxxx_<tag>"; false when the name
    // carries no tag.
    static bool fromAccessList(const std::string& name, RunIdentity& out);
    bool known() const { return pid != 0; }
};

class PreparationJournal {
public:
    struct Record {
        RunIdentity run;
        std::string target; // "host:port" of the administration service
        SavedSettings settings;
    };

    enum class Lock { Taken, Busy, Failed };
    enum class Read { None, Found, Failed };

    // The journal of `target` ("host:port") in `folder`, whose folders are
    // the program's own (utils/PrivateFile.h).
    PreparationJournal(utils::PrivateLocation folder, std::string target);
    // A folder given by its full path: only its last folder is checked.
    PreparationJournal(const std::string& folder, std::string target);
    // Lets the lock go.
    ~PreparationJournal();
    PreparationJournal(const PreparationJournal&) = delete;
    PreparationJournal& operator=(const PreparationJournal&) = delete;

    // $HOME and ".tavir/admin", the known-hosts file's folder; an empty base
    // without HOME.
    static utils::PrivateLocation defaultFolder();

    // Opens the folder (made 0700 when missing; refused when it or a folder
    // on its way is a link, not the user's own, or writable by others) and takes the target's lock
    // without waiting. Taken: `self` is written into the lock file. Busy: a
    // live run holds it, named in `holder` (unknown when it can't be read).
    // Failed: `why` says what went wrong.
    Lock lock(const RunIdentity& self, RunIdentity& holder, std::string& why);
    // Gives the lock up; the journal, if any, stays. Without a journal the
    // lock file is removed as well.
    void unlock();

    // While the lock is held: the journal a run left, if it left one. Found
    // only for a journal this program wrote whole (its end line counts and
    // digests the lines before it), in the format that keeps what its run
    // set, and of this target; anything else (a FIFO or any file that is not
    // a regular one of the user's, closed to others, too) is Failed, with
    // `why` saying what it is (an old format: with the values it holds).
    Read read(Record& out, std::string& why);
    // While the lock is held: replaces the journal whole (a temporary file
    // written, flushed to disk and renamed over it, the folder flushed too).
    // Every setting must carry what the run sets.
    bool write(const Record& record, std::string& why);
    // While the lock is held: removes the journal (a missing one is fine).
    bool remove(std::string& why);

    const std::string& path() const { return journalPath_; }

private:
    Lock lockOnce(const RunIdentity& self, RunIdentity& holder, std::string& why,
        const std::string& lockPath);
    // The lock file under its name is the one this object holds open.
    bool lockNamesLockedFile() const;

    utils::PrivateLocation folder_;
    std::string target_;
    std::string journalName_;
    std::string lockName_;
    std::string journalPath_;
    utils::Descriptor folderFd_;
    // Held while the lock is: closing it ends the flock.
    utils::Descriptor lockFd_;
};

} // namespace tavir::tinydb
