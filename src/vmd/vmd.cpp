// vmd: tells whether this machine runs under a hypervisor of one kind.
//
//   vmd vmware | parallels | unknownvm
//
// Exit codes: 71 no hypervisor of that kind; 8 cannot tell; otherwise the
// kind found: 2 VMware (version unknown), 7 Parallels, 1 some other
// hypervisor (only for "unknownvm").
//
// What Linux tells: the firmware vendor and product in
// /sys/class/dmi/id/{sys_vendor,product_name}, the "hypervisor" CPU flag in
// /proc/cpuinfo, and systemd-detect-virt where it is installed. The
// environment variable VMD_ROOT puts another folder in place of "/" for the
// two files (and leaves systemd-detect-virt out), so tests can lay out the
// machine they want.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

enum ExitCode { kUnknownVm = 1, kVmware = 2, kParallels = 7, kCannotTell = 8, kNone = 71 };

struct Evidence {
    bool haveDmi = false;
    std::string dmi; // vendor and product, lower case
    bool haveCpuinfo = false;
    bool hypervisorFlag = false;
    bool haveDetector = false;
    std::string detector; // systemd-detect-virt --vm answer, lower case
};

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool readFile(const std::string& path, std::string& out)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

bool hasHypervisorFlag(const std::string& cpuinfo)
{
    std::istringstream lines(cpuinfo);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 5, "flags") != 0)
            continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::string word;
        while (words >> word)
            if (word == "hypervisor")
                return true;
    }
    return false;
}

// Runs systemd-detect-virt --vm with a bounded wait; empty when absent.
bool askSystemd(std::string& answer)
{
    const char* const candidates[] = {"/usr/bin/systemd-detect-virt", "/bin/systemd-detect-virt"};
    const char* program = nullptr;
    for (const char* candidate : candidates)
        if (access(candidate, X_OK) == 0)
            program = candidate;
    if (!program)
        return false;
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl(program, program, "--vm", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buffer[256];
    std::string text;
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0 && text.size() < 4096)
        text.append(buffer, static_cast<size_t>(got));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    // It exits non-zero for "none"; any word it printed is an answer.
    text.erase(std::remove_if(text.begin(), text.end(), ::isspace), text.end());
    if (text.empty())
        return false;
    answer = lower(text);
    return true;
}

Evidence gather()
{
    Evidence evidence;
    const char* root = std::getenv("VMD_ROOT");
    std::string base = root ? root : "";
    std::string vendor, product;
    bool v = readFile(base + "/sys/class/dmi/id/sys_vendor", vendor);
    bool p = readFile(base + "/sys/class/dmi/id/product_name", product);
    evidence.haveDmi = v || p;
    evidence.dmi = lower(vendor + " " + product);
    std::string cpuinfo;
    evidence.haveCpuinfo = readFile(base + "/proc/cpuinfo", cpuinfo);
    evidence.hypervisorFlag = evidence.haveCpuinfo && hasHypervisorFlag(cpuinfo);
    if (!root)
        evidence.haveDetector = askSystemd(evidence.detector);
    return evidence;
}

bool contains(const std::string& text, const char* word)
{
    return text.find(word) != std::string::npos;
}

int checkVmware(const Evidence& e)
{
    if (contains(e.dmi, "vmware") || e.detector == "vmware")
        return kVmware;
    return e.haveDmi || e.haveDetector || e.haveCpuinfo ? kNone : kCannotTell;
}

int checkParallels(const Evidence& e)
{
    if (contains(e.dmi, "parallels") || e.detector == "parallels")
        return kParallels;
    return e.haveDmi || e.haveDetector || e.haveCpuinfo ? kNone : kCannotTell;
}

int checkAnyVm(const Evidence& e)
{
    static const char* const vendors[]
        = {"vmware", "parallels", "qemu", "kvm", "innotek", "virtualbox", "xen", "bochs", "bhyve",
            "virtual machine", "amazon ec2", "openstack", "google compute engine"};
    if (e.haveDetector && e.detector != "none")
        return kUnknownVm;
    if (e.hypervisorFlag)
        return kUnknownVm;
    for (const char* vendor : vendors)
        if (contains(e.dmi, vendor))
            return kUnknownVm;
    return e.haveDmi || e.haveDetector || e.haveCpuinfo ? kNone : kCannotTell;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return kCannotTell;
    Evidence evidence = gather();
    if (std::strcmp(argv[1], "vmware") == 0)
        return checkVmware(evidence);
    if (std::strcmp(argv[1], "parallels") == 0)
        return checkParallels(evidence);
    if (std::strcmp(argv[1], "unknownvm") == 0)
        return checkAnyVm(evidence);
    return kCannotTell;
}
