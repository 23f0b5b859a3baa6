#pragma once
// A description of the machine the program runs on, read once when the
// object is built, and static queries about the host.
#include "utils/InetAddress.h"
#include "utils/VmInfo.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavir::utils {

class OSInfo {
public:
    enum SysErrorType { SysErrorSystem = 0, SysErrorSocket = 1 };

    struct LocaleInfo {
        char language[9];
        char country[9];
    };

    struct MemInfo {
        uint64_t physicalBytes = 0;
    };

    struct _Win32Info {
        std::string servicePack;
        std::string edition;
        unsigned productType = 0;
    };

    // Reads the machine description from the files under `root` ("/" for
    // the live system; tests lay out their own).
    explicit OSInfo(const std::string& root = "/");

    const std::string& getName() const { return name_; }
    int getCode() const { return code_; }
    int getCodeGroup() const { return codeGroup_; }
    int getVersionMajor() const { return versionMajor_; }
    int getVersionMinor() const { return versionMinor_; }
    int getVersionBuild() const { return versionBuild_; }
    const std::string& getPlatform() const { return platform_; }
    const std::string& getState() const { return state_; }
    const std::string& getProduct() const { return product_; }
    const std::string& getSuite() const { return suite_; }
    const std::string& getKernelVersion() const { return kernelVersion_; }
    const std::string& getPackage() const { return package_; }
    const LocaleInfo& getSystemLocaleInfo() const { return systemLocale_; }
    const LocaleInfo& getUserLocaleInfo() const { return userLocale_; }

    void updateLocaleInfo();
    const VirtInfo& getVirtInfo(const std::string& detectorPath);
    void fillVirtInfo(const std::string& detectorPath);

    static bool isVirtualAppliance() { return false; }
    static bool isWow64() { return false; }
    static int getProcessID();
    static unsigned long getThreadID();
    static int sysError(SysErrorType type = SysErrorSystem);
    static void setSysError(int code, SysErrorType type = SysErrorSystem);

    static void getHostname(char* buffer, int size);
    static void getHostbyname(char* buffer, int size);
    static std::string getHostname();
    static std::string getHostByName();
    static bool getHostFqDistinguishedName(std::string& name);
    static bool getNetbiosHostname(std::string& name);

    static bool getDiskFree(const char* path, uint64_t* available, uint64_t* total, uint64_t* free);
    static bool getDiskType(const char* path, std::string& type);
    static bool getIPAddresses(std::vector<Inet4Address>& addresses, char* unused = nullptr);
    static bool getMACAddresses(std::map<std::string, std::string>& addresses);
    // The same over another root's /sys/class/net (for tests).
    static bool getMACAddresses(
        std::map<std::string, std::string>& addresses, const std::string& root);
    static bool getMemInfo(MemInfo* info);
    static void getWin32OSInfo(_Win32Info* info);

    static bool distributionTest(const std::string& file, const std::string& pattern,
        std::string& major, std::string& minor, std::string& build, std::string& firstLine);
    static bool distributionTest(const std::string& file, const std::string& pattern,
        unsigned& major, unsigned& minor, unsigned& build, std::string& firstLine);

private:
    void readRelease(const std::string& root);

    std::string name_;
    int code_ = 0;
    int codeGroup_ = 0;
    int versionMajor_ = 0;
    int versionMinor_ = 0;
    int versionBuild_ = 0;
    std::string platform_;
    std::string state_;
    std::string product_;
    std::string suite_;
    LocaleInfo systemLocale_{};
    LocaleInfo userLocale_{};
    VirtInfo virtInfo_;
    bool virtInfoFilled_ = false;
    std::string virtInfoPath_;
    std::string kernelVersion_;
    std::string package_;
};

// Reads a number with a string stream (leading blanks skipped, trailing text
// ignored); false, and `value` untouched, when nothing could be read.
template <typename T> bool fromString(const std::string& text, T& value);
template <> bool fromString<unsigned int>(const std::string& text, unsigned int& value);

} // namespace tavir::utils
