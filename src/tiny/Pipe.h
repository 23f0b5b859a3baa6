#pragma once
// Anonymous POSIX pipes whose handles can be handed to another process as
// decimal text. Named pipes do not exist on this platform.
#include <string>

namespace tavir::tiny {

class Pipe {
public:
    enum End : unsigned { kRead = 1, kWrite = 2, kBoth = 3 };

    struct Params {
        std::string name;
        unsigned mode = kBoth;
    };

    Pipe() = default;
    virtual ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool read(void* buffer, unsigned long size, unsigned long& got);
    bool write(const void* buffer, unsigned long size, unsigned long& written);

    bool getHandle(unsigned end, int& handle) const;
    bool getHandleString(unsigned end, std::string& text) const;
    static bool getHandleFromString(const std::string& text, int& handle);

    bool close(unsigned end);
    bool doClose(unsigned end);
    static bool closePipeHandle(int& handle);

    bool isOpen(unsigned end) const { return end == kRead ? readOpen_ : writeOpen_; }
    unsigned mode() const { return mode_; }

protected:
    bool readOpen_ = false;
    bool writeOpen_ = false;
    int readHandle_ = -1;
    int writeHandle_ = -1;
    unsigned mode_ = 0;
    std::string errorMessage_;
};

class PipeServer : public Pipe {
public:
    struct ServerParams {
        std::string name;
        unsigned mode = kBoth;
        // Settings of named pipes elsewhere; not read on this platform.
        unsigned bufferSize = 4096;
        unsigned char reserved[16] = {};
        bool inheritable = true;
    };

    bool create(const ServerParams& params);
    bool createAnonymous(const ServerParams& params);
    bool createNamed(const ServerParams& params);
    bool waitForConnect(unsigned timeoutMs, long flags);
    void getErrorMsg(std::string& text);
    static std::string createPipeName(const char* prefix);
};

class PipeClient : public Pipe {
public:
    struct ClientParams {
        std::string name;
        unsigned mode = kBoth;
        int handle = -1;
    };

    bool connect(const ClientParams& params);
};

} // namespace tavir::tiny
