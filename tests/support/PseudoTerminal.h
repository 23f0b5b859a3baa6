#pragma once
// A pseudo-terminal for a program that behaves otherwise on a terminal: the
// child opens its far end by name (ChildOptions::errorFile), and everything
// it writes there is read here as it comes, so that the child never blocks
// on a full terminal.
#include "utils/Descriptor.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tavir::test {

class PseudoTerminal {
public:
    // Raw: the terminal passes the bytes written to it as they are; it is
    // `columns` wide, or as the system makes it when 0. Throws
    // std::runtime_error when the system offers none.
    explicit PseudoTerminal(unsigned short columns = 0);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // The far end's name, "/dev/pts/N".
    const std::string& name() const { return name_; }
    // Everything written to the far end, once a child that wrote there has
    // ended: what the terminal still held is read first (at most a second).
    std::string written();

private:
    void read();

    utils::Descriptor master_;
    std::string name_;
    std::mutex lock_;
    std::condition_variable looked_;
    std::string written_; // under lock_
    unsigned emptyLooks_ = 0; // under lock_: how often the terminal held nothing
    bool stopping_ = false; // under lock_
    std::thread reader_;
};

} // namespace tavir::test
