#pragma once
// A URL split into its parts on demand. Parts can be erased or the port
// changed; the text is rebuilt lazily. The host resolves to an IPv4 address.
#include "utils/InetAddress.h"

#include <ostream>
#include <string>

namespace tavir::utils {

class Url {
public:
    enum Parts {
        PROTOCOL = 0,
        USER = 1,
        PASSWORD = 2,
        HOST = 3,
        PORT = 4,
        DIR = 5,
        FILENAME = 6,
        QUERY = 7,
        REF = 8,
        END = 9
    };

    Url();
    explicit Url(const std::string& text);
    Url(const Url& other);
    Url& operator=(const Url& other);

    const std::string& getProtocol() const;
    const std::string& getUser() const;
    const std::string& getPassword() const;
    const std::string& getHost() const;
    const std::string& getPortString() const;
    int getPort() const;
    const std::string& getPath() const;
    const std::string& getUrl() const;
    const std::string& getDir() const;
    const std::string& getFilename() const;
    const std::string& getQuery() const;
    const std::string& getRef() const;

    bool parse() const;
    bool parse_path() const;
    void update();
    void update_path();

    void erase(Parts from, Parts to);
    void erase(int from, int to) { erase(static_cast<Parts>(from), static_cast<Parts>(to)); }
    void setPort(int port);
    // Empty: port 0. Decimal digits: that port (1 to 65535, 0 allowed).
    // Anything else: a service name from the services database. Unknown
    // names and numbers above 65535 give false with port 0 and an empty text.
    bool assignPortNumber(const std::string& text) const;
    bool portIsNumber() const;
    bool hostIsIp() const;

    bool resolve(bool throwOnError);
    bool isResolved() const;
    uint32_t getIP() const { return address_.getAddress(); }
    Inet4Address getIP4() const { return address_; }

    void reset();
    // Copies the text into buffer, always terminated; false when it had to
    // be cut short (or there is no room at all).
    bool getUrl(char* buffer, int length) const;

    bool operator==(const Url& other) const;
    bool operator!=(const Url& other) const { return !(*this == other); }
    bool operator==(const std::string& other) const;
    bool operator!=(const std::string& other) const { return !(*this == other); }

    bool containsUrlValidCharacters() const;
    bool isValid() const;
    bool isValidWeb() const;
    bool isLocal() const;
    void dump() const;

private:
    void refresh() const; // parse, rebuild path and text when changed
    void refreshPath() const; // parse the path, rebuild it when changed
    void updateConst() const;
    void updatePathConst() const;

    mutable std::string protocol_, user_, password_, host_, port_, path_, url_, query_, ref_,
        filename_, dir_;
    mutable int portNumber_ = 0;
    mutable Inet4Address address_;
    mutable bool resolved_ = false;
    mutable bool parsed_ = true;
    mutable bool changed_ = false;
    mutable bool pathParsed_ = true;
    mutable bool pathChanged_ = false;
};

std::ostream& operator<<(std::ostream& out, const Url& url);

} // namespace tavir::utils
