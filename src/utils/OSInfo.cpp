#include "utils/OSInfo.h"

#include "tiny/Thread.h"
#include "utils/StringUtils.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/statfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <boost/regex.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tavir::utils {

namespace {

const char* const kUnspecifiedHost = "unspecified.host";

void copyText(char* buffer, int size, const char* text)
{
    if (buffer && size > 0)
        strncpys(buffer, text, static_cast<size_t>(size));
}

bool readWholeFile(const std::string& path, std::string& content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    content = text.str();
    return true;
}

std::string joinRoot(const std::string& root, const std::string& path)
{
    if (root.empty() || root == "/")
        return path;
    return (root.back() == '/' ? root.substr(0, root.size() - 1) : root) + path;
}

// KEY=value or KEY="value" lines of an os-release file.
std::map<std::string, std::string> parseOsRelease(const std::string& content)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos || line[0] == '#')
            continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        fields[line.substr(0, equals)] = value;
    }
    return fields;
}

std::string platformOf(const std::string& machine)
{
    if (machine == "x86_64")
        return "LINUX.X64";
    if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0)
        return "LINUX.X86";
    std::string upper = machine;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    return "LINUX." + upper;
}

void fillLocale(OSInfo::LocaleInfo& info, const char* name)
{
    std::memset(&info, 0, sizeof info);
    if (!name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0)
        return;
    std::string text = name;
    size_t end = text.find_first_of("_.@");
    std::string language = text.substr(0, end);
    copyText(info.language, sizeof info.language, language.c_str());
    if (end != std::string::npos && text[end] == '_') {
        size_t countryEnd = text.find_first_of(".@", end + 1);
        std::string country = text.substr(
            end + 1, countryEnd == std::string::npos ? std::string::npos : countryEnd - end - 1);
        copyText(info.country, sizeof info.country, country.c_str());
    }
}

// The mounted file system that holds `path`: the longest mount point of
// /proc/self/mounts that is a prefix of the path's real location.
bool mountTypeOf(const std::string& path, std::string& type)
{
    std::error_code error;
    std::string real = std::filesystem::canonical(path, error).string();
    if (error)
        return false;
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, fsType, rest;
    size_t best = 0;
    bool found = false;
    while (mounts >> device >> point >> fsType && std::getline(mounts, rest)) {
        bool prefix = real == point || point == "/"
            || (real.compare(0, point.size(), point) == 0 && real[point.size()] == '/');
        if (prefix && point.size() >= best) {
            best = point.size();
            type = fsType;
            found = true;
        }
    }
    return found;
}

} // namespace

template <> bool fromString<unsigned int>(const std::string& text, unsigned int& value)
{
    std::istringstream in(text);
    unsigned int read;
    if (!(in >> read))
        return false;
    value = read;
    return true;
}

OSInfo::OSInfo(const std::string& root)
{
    updateLocaleInfo();
    name_ = "Linux";
    platform_ = "LINUX.X86";
    product_ = "LINUX";
    code_ = 0x80;
    codeGroup_ = 0xc0c0;
    package_ = "PACKAGE_BIN";
    utsname system{};
    if (uname(&system) == 0) {
        kernelVersion_ = system.release;
        platform_ = platformOf(system.machine);
        if (sizeof(void*) == 8 || std::strcmp(system.machine, "x86_64") == 0)
            code_ = 0x8000;
    }
    readRelease(root);
}

void OSInfo::readRelease(const std::string& root)
{
    std::string content;
    if (!readWholeFile(joinRoot(root, "/etc/os-release"), content)
        && !readWholeFile(joinRoot(root, "/usr/lib/os-release"), content))
        return;
    auto fields = parseOsRelease(content);
    std::string product = fields["NAME"];
    std::string version = fields["VERSION_ID"];
    // Debian keeps its point release in its own file; it is more precise.
    std::string debian;
    if (readWholeFile(joinRoot(root, "/etc/debian_version"), debian) && !debian.empty()
        && std::isdigit(static_cast<unsigned char>(debian[0])) && fields["ID"] == "debian") {
        version = debian.substr(0, debian.find_first_of("\r\n"));
    }
    if (!product.empty())
        name_ = product;
    if (!version.empty())
        name_ += " (" + version + ")";
    std::sscanf(version.c_str(), "%d.%d.%d", &versionMajor_, &versionMinor_, &versionBuild_);
}

void OSInfo::updateLocaleInfo()
{
    std::memset(&systemLocale_, 0, sizeof systemLocale_);
    std::memset(&userLocale_, 0, sizeof userLocale_);
    // glibc names can be long composites ("LC_CTYPE=...;LC_NUMERIC=..."):
    // the saved name is kept whole so that the same locale comes back.
    const char* current = std::setlocale(LC_ALL, nullptr);
    std::string saved = current ? current : "C";
    fillLocale(systemLocale_, std::setlocale(LC_ALL, ""));
    userLocale_ = systemLocale_;
    std::setlocale(LC_ALL, saved.c_str());
}

const VirtInfo& OSInfo::getVirtInfo(const std::string& detectorPath)
{
    if (!virtInfoFilled_ || virtInfoPath_ != detectorPath) {
        fillVirtInfo(detectorPath);
        virtInfoPath_ = detectorPath;
        virtInfoFilled_ = true;
    }
    return virtInfo_;
}

void OSInfo::fillVirtInfo(const std::string& detectorPath)
{
    virtInfo_ = VmInfo::getVirtInfo(name_, detectorPath);
}

int OSInfo::getProcessID()
{
    return tiny::processID();
}

unsigned long OSInfo::getThreadID()
{
    return tiny::threadID();
}

int OSInfo::sysError(SysErrorType)
{
    return errno;
}

void OSInfo::setSysError(int code, SysErrorType)
{
    errno = code;
}

void OSInfo::getHostname(char* buffer, int size)
{
    utsname system{};
    copyText(buffer, size, uname(&system) == 0 ? system.nodename : kUnspecifiedHost);
}

void OSInfo::getHostbyname(char* buffer, int size)
{
    utsname system{};
    if (uname(&system) != 0) {
        copyText(buffer, size, kUnspecifiedHost);
        return;
    }
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (getaddrinfo(system.nodename, nullptr, &hints, &result) != 0 || !result) {
        copyText(buffer, size, kUnspecifiedHost);
        return;
    }
    copyText(buffer, size, result->ai_canonname ? result->ai_canonname : kUnspecifiedHost);
    freeaddrinfo(result);
}

std::string OSInfo::getHostname()
{
    char buffer[256];
    getHostname(buffer, sizeof buffer);
    return std::strcmp(buffer, kUnspecifiedHost) == 0 ? std::string() : std::string(buffer);
}

std::string OSInfo::getHostByName()
{
    char buffer[256];
    getHostbyname(buffer, sizeof buffer);
    return std::strcmp(buffer, kUnspecifiedHost) == 0 ? std::string() : std::string(buffer);
}

bool OSInfo::getHostFqDistinguishedName(std::string& name)
{
    name.clear();
    return false;
}

bool OSInfo::getNetbiosHostname(std::string& name)
{
    name.clear();
    return false;
}

bool OSInfo::getDiskFree(const char* path, uint64_t* available, uint64_t* total, uint64_t* free)
{
    struct statfs info { };
    if (!path || statfs(path, &info) != 0)
        return false;
    const uint64_t block = static_cast<uint64_t>(info.f_bsize);
    if (total)
        *total = static_cast<uint64_t>(info.f_blocks) * block;
    if (free)
        *free = static_cast<uint64_t>(info.f_bfree) * block;
    if (available)
        *available = static_cast<uint64_t>(geteuid() == 0 ? info.f_bfree : info.f_bavail) * block;
    return true;
}

bool OSInfo::getDiskType(const char* path, std::string& type)
{
    struct statfs info { };
    if (!path || statfs(path, &info) != 0)
        return false;
    if (mountTypeOf(path, type))
        return true;
    char magic[32];
    std::snprintf(magic, sizeof magic, "0x%lx", static_cast<unsigned long>(info.f_type));
    type = magic;
    return true;
}

bool OSInfo::getIPAddresses(std::vector<Inet4Address>& addresses, char*)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        auto* address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr);
        addresses.emplace_back(ntohl(address->sin_addr.s_addr));
    }
    freeifaddrs(list);
    return true;
}

bool OSInfo::getMACAddresses(std::map<std::string, std::string>& addresses)
{
    return getMACAddresses(addresses, "/");
}

bool OSInfo::getMACAddresses(std::map<std::string, std::string>& addresses, const std::string& root)
{
    addresses.clear();
    std::error_code error;
    std::filesystem::directory_iterator interfaces(joinRoot(root, "/sys/class/net"), error);
    if (error)
        return false;
    for (const auto& entry : interfaces) {
        std::string text;
        if (!readWholeFile(entry.path().string() + "/address", text))
            continue;
        unsigned bytes[6];
        if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &bytes[0], &bytes[1], &bytes[2],
                &bytes[3], &bytes[4], &bytes[5])
            != 6)
            continue;
        if (std::all_of(bytes, bytes + 6, [](unsigned b) { return b == 0; }))
            continue;
        char formatted[18];
        std::snprintf(formatted, sizeof formatted, "%2.2X:%2.2X:%2.2X:%2.2X:%2.2X:%2.2X",
            bytes[0] & 0xFF, bytes[1] & 0xFF, bytes[2] & 0xFF, bytes[3] & 0xFF, bytes[4] & 0xFF,
            bytes[5] & 0xFF);
        addresses.emplace(entry.path().filename().string(), formatted);
    }
    return !addresses.empty();
}

bool OSInfo::getMemInfo(MemInfo* info)
{
    if (!info)
        return false;
    info->physicalBytes = 0;
    struct sysinfo system { };
    if (sysinfo(&system) != 0)
        return false;
    info->physicalBytes = static_cast<uint64_t>(system.totalram) * system.mem_unit;
    return true;
}

void OSInfo::getWin32OSInfo(_Win32Info* info)
{
    if (!info)
        return;
    info->servicePack.clear();
    info->edition.clear();
    info->productType = 0;
}

bool OSInfo::distributionTest(const std::string& file, const std::string& pattern,
    std::string& major, std::string& minor, std::string& build, std::string& firstLine)
{
    major.clear();
    minor.clear();
    build.clear();
    std::string content;
    if (!readWholeFile(file, content))
        return false;
    boost::smatch match;
    try {
        boost::regex expression(pattern, boost::regex::perl | boost::regex::icase);
        if (!boost::regex_search(content, match, expression))
            return false;
    } catch (const std::exception&) {
        return false;
    }
    auto group = [&match](size_t n) {
        return n < match.size() && match[n].matched ? match[n].str() : std::string();
    };
    major = group(1);
    minor = group(2);
    build = group(3);
    firstLine = content.substr(0, content.find_first_of("\r\n"));
    return true;
}

bool OSInfo::distributionTest(const std::string& file, const std::string& pattern, unsigned& major,
    unsigned& minor, unsigned& build, std::string& firstLine)
{
    std::string a, b, c;
    if (!distributionTest(file, pattern, a, b, c, firstLine))
        return false;
    fromString(a, major);
    fromString(b, minor);
    fromString(c, build);
    return true;
}

} // namespace tavir::utils
