#pragma once
// Failures of the IMAP client below its facade. Every failure travels as one
// ImapException subclass; the facade turns the dynamic class into an
// ImapClientResult code with handleImapException.
#include <stdexcept>
#include <string>

namespace tavir::mail {

// Result of every facade operation (0 = success).
enum ImapClientResult : unsigned {
    ImapSuccess = 0,
    ImapNotConnected = 1,
    ImapAlreadyConnected = 2,
    ImapConnectionError = 3, // no connection, broken connection, time-out, BYE
    ImapLoginFailed = 4, // also the default of connecting and reconnecting
    ImapCreateUserFailed = 5,
    ImapSetUserFailed = 6,
    ImapCreateFolderFailed = 7,
    ImapDeleteFolderFailed = 8,
    ImapAppendFailed = 9,
    ImapMessageLoadFailed = 10,
    ImapSelectFailed = 11,
    ImapListFailed = 12,
    ImapStatusFailed = 13, // also the default of the range copy
    ImapFetchFailed = 14, // also the default of the single-message copy
    ImapAnnotationFailed = 15,
    ImapAclFailed = 16,
};

class ImapException : public std::runtime_error {
public:
    // The code of a failure that has none of its own: the refusal code of
    // the operation it ends stands for it (handleImapException).
    static constexpr long noCode = 0;

    ImapException(const std::string& text, long code)
        : std::runtime_error(text)
        , code_(code)
    {
    }
    ~ImapException() override;

    bool hasErrorCode() const { return code_ != 0; }
    long errorCode() const { return code_; }
    long errorCode(long fallback) const { return code_ != 0 ? code_ : fallback; }

private:
    long code_;
};

// Connecting, writing or reading failed (ImapConnectionError).
class ImapConnectionFailed : public ImapException {
public:
    explicit ImapConnectionFailed(const std::string& text, long code = ImapConnectionError)
        : ImapException(text, code)
    {
    }
    ~ImapConnectionFailed() override;
};

// A read ended without data while a response was awaited
// (ImapConnectionError).
class ImapTimeoutException : public ImapException {
public:
    explicit ImapTimeoutException(const std::string& text, long code = ImapConnectionError)
        : ImapException(text, code)
    {
    }
    ~ImapTimeoutException() override;
};

// An untagged BYE arrived while a response was awaited (ImapConnectionError).
class ImapServerBrokeConnection : public ImapException {
public:
    explicit ImapServerBrokeConnection(const std::string& text, long code = ImapConnectionError)
        : ImapException(text, code)
    {
    }
    ~ImapServerBrokeConnection() override;
};

// The server refused the login (no code of its own).
class AuthenticateFailedException : public ImapException {
public:
    explicit AuthenticateFailedException(const std::string& text)
        : ImapException(text, noCode)
    {
    }
    ~AuthenticateFailedException() override;
};

// A response is not parseable (no code of its own).
class ImapParserException : public ImapException {
public:
    explicit ImapParserException(const std::string& text, long code = noCode)
        : ImapException(text, code)
    {
    }
    ~ImapParserException() override;
};

// Writing a message body into APPEND failed, or the message source refused
// to deliver (ImapAppendFailed).
class IMessageAppendException : public ImapException {
public:
    explicit IMessageAppendException(const std::string& text, long code = ImapAppendFailed)
        : ImapException(text, code)
    {
    }
    ~IMessageAppendException() override;
};

// The message body is not obtainable from its source (ImapMessageLoadFailed).
class IMessageLoadFailedException : public ImapException {
public:
    explicit IMessageLoadFailedException(const std::string& text, long code = ImapMessageLoadFailed)
        : ImapException(text, code)
    {
    }
    ~IMessageLoadFailedException() override;
};

// The message source failed while its body was read for an APPEND
// (ImapMessageLoadFailed): the source's failure, not the target's.
class IMessageSourceFailedException : public IMessageLoadFailedException {
public:
    explicit IMessageSourceFailedException(const std::string& text)
        : IMessageLoadFailedException(text)
    {
    }
    ~IMessageSourceFailedException() override;
};

// Maps an exception to a result code by its dynamic class; `fallback` is the
// operation's own refusal code, used for parse failures and plain
// ImapExceptions. The exception's numeric code is not consulted.
ImapClientResult handleImapException(const ImapException& e, ImapClientResult fallback);

} // namespace tavir::mail
