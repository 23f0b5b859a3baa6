// Hypervisor detection through the detector program: a scripted detector
// for the decision table, and our own vmd on laid-out machines and on this
// machine, compared with systemd-detect-virt.
#include "utils/VmInfo.h"

#include "support/TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

using tavir::utils::VirtInfo;
using tavir::utils::VmInfo;
using namespace tavir::test;

namespace {

const std::string kVmd = std::string(TAVIR_BINARY_DIR) + "/bin/vmd";

// A detector that answers `vmware` and `unknownvm` with the given codes.
std::string scriptedDetector(const TempDir& dir, int vmware, int unknown)
{
    std::string path = dir.file("detector.sh");
    writeFile(path,
        "#!/bin/sh\ncase \"$1\" in\n  vmware) exit " + std::to_string(vmware)
            + ";;\n  unknownvm) exit " + std::to_string(unknown) + ";;\nesac\nexit 8\n");
    chmod(path.c_str(), 0755);
    return path;
}

int runVmd(const std::string& root, const char* kind)
{
    std::string command = (root.empty() ? "" : "VMD_ROOT='" + root + "' ") + kVmd + " " + kind;
    std::string ignored;
    return runShell(command, &ignored);
}

void layOut(const TempDir& dir, const std::string& vendor, const std::string& product,
    const std::string& flags)
{
    runShell("mkdir -p '" + dir.path() + "/sys/class/dmi/id' '" + dir.path() + "/proc'");
    if (!vendor.empty())
        writeFile(dir.path() + "/sys/class/dmi/id/sys_vendor", vendor + "\n");
    if (!product.empty())
        writeFile(dir.path() + "/sys/class/dmi/id/product_name", product + "\n");
    writeFile(dir.path() + "/proc/cpuinfo",
        "processor\t: 0\nvendor_id\t: GenuineIntel\nflags\t\t: " + flags + "\n\n");
}

} // namespace

TEST(VmInfo, DecisionTableOverDetectorAnswers)
{
    struct Case {
        int vmware, unknown;
        bool virtualised;
        const char* description;
        float confidence;
        VmInfo::VmType type;
    } cases[] = {
        {0, 71, false, "Native OS", 0.8f, VmInfo::NativeOs},
        {8, 71, false, "Virtualization undetected", 0.8f, VmInfo::Undetected},
        {71, 71, false, "Native OS", 0.8f, VmInfo::NativeOs},
        {71, 8, false, "Virtualization undetected", 0.8f, VmInfo::Undetected},
        {71, 0, true, "Unknown MAC virtualization", 0.5f, VmInfo::UnknownVm},
        {71, 42, true, "Unknown MAC virtualization", 0.5f, VmInfo::UnknownVm},
        {4, 71, true, "VmWare Workstation", 0.8f, VmInfo::VmwareWorkstation},
        {7, 71, true, "Parallels", 0.8f, VmInfo::Parallels},
        // Codes outside the table name no type of their own.
        {9, 71, true, "Native OS", 0.8f, VmInfo::NativeOs},
        {42, 71, true, "Native OS", 0.8f, VmInfo::NativeOs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.vmware) + "/" + std::to_string(c.unknown));
        TempDir dir;
        VirtInfo info = VmInfo::getVirtInfo("", scriptedDetector(dir, c.vmware, c.unknown));
        EXPECT_EQ(info.virtualised, c.virtualised);
        EXPECT_EQ(info.description, c.description);
        EXPECT_FLOAT_EQ(info.confidence, c.confidence);
        EXPECT_EQ(VmInfo::machineVirtInfo.description, info.description);
        // The same detector, now the one in use, asked for the type.
        EXPECT_EQ(VmInfo::getVirtualMachineType(), c.type);
    }
}

TEST(VmInfo, MissingDetectorIsUndetected)
{
    VirtInfo info = VmInfo::getVirtInfo("", "/nonexistent/vmd");
    EXPECT_FALSE(info.virtualised);
    EXPECT_EQ(info.description, "Virtualization undetected");
    EXPECT_FLOAT_EQ(info.confidence, 0.8f);
    EXPECT_EQ(VmInfo::getVirtualMachineType(), VmInfo::Undetected);
}

TEST(VmInfo, HangingDetectorIsKilled)
{
    TempDir dir;
    std::string path = dir.file("hang.sh");
    writeFile(path, "#!/bin/sh\nexec sleep 30\n");
    chmod(path.c_str(), 0755);
    VmInfo::vmdpath = path;
    EXPECT_EQ(VmInfo::checkVmType(VmInfo::VmwareUnknown), VmInfo::Undetected);
}

TEST(VmInfo, RelativeDetectorIsNotTakenFromTheWorkingDirectory)
{
    TempDir dir;
    // A "vmd" planted in the working directory that would claim VMware.
    std::string planted = dir.file("vmd");
    writeFile(planted, "#!/bin/sh\nexit 4\n");
    chmod(planted.c_str(), 0755);
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    VirtInfo info = VmInfo::getVirtInfo("", "vmd");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_NE(info.description, "VmWare Workstation");
    EXPECT_EQ(VmInfo::detectorPath(), kVmd);
}

TEST(VmInfo, TypeNames)
{
    EXPECT_STREQ(VmInfo::vmTypeToString(VmInfo::NativeOs), "Native OS");
    EXPECT_STREQ(VmInfo::vmTypeToString(static_cast<VmInfo::VmType>(9)), "Native OS");
    EXPECT_STREQ(VmInfo::vmTypeToString(VmInfo::VmwareEsx), "VmWare ESX");
}

TEST(Vmd, AnswersFromLaidOutMachines)
{
    struct Case {
        const char* name;
        std::string vendor, product, flags;
        int vmware, parallels, unknown;
    } cases[] = {
        {"vmware", "VMware, Inc.", "VMware Virtual Platform", "fpu hypervisor", 2, 71, 1},
        {"parallels", "Parallels Software International Inc.", "Parallels Virtual Platform",
            "fpu hypervisor", 71, 7, 1},
        {"qemu", "QEMU", "Standard PC (Q35 + ICH9, 2009)", "fpu", 71, 71, 1},
        {"bare metal", "Dell Inc.", "PowerEdge R740", "fpu sse2", 71, 71, 71},
        {"no dmi, hypervisor flag", "", "", "fpu hypervisor", 71, 71, 1},
    };
    for (const auto& c : cases) {
        TempDir root;
        layOut(root, c.vendor, c.product, c.flags);
        EXPECT_EQ(runVmd(root.path(), "vmware"), c.vmware) << c.name;
        EXPECT_EQ(runVmd(root.path(), "parallels"), c.parallels) << c.name;
        EXPECT_EQ(runVmd(root.path(), "unknownvm"), c.unknown) << c.name;
    }
    TempDir empty;
    EXPECT_EQ(runVmd(empty.path(), "unknownvm"), 8) << "nothing to tell from";
    EXPECT_EQ(runVmd(empty.path(), "bogus"), 8);
}

TEST(Vmd, AgreesWithSystemdOnThisMachine)
{
    if (!haveProgram("systemd-detect-virt"))
        GTEST_SKIP() << "systemd-detect-virt is not installed";
    std::string answer;
    runShell("systemd-detect-virt --vm", &answer);
    answer = answer.substr(0, answer.find('\n'));
    int unknown = runVmd("", "unknownvm");
    if (answer == "none")
        EXPECT_EQ(unknown, 71);
    else
        EXPECT_EQ(unknown, 1) << answer;
    EXPECT_EQ(runVmd("", "vmware"), answer == "vmware" ? 2 : 71);
    EXPECT_EQ(runVmd("", "parallels"), answer == "parallels" ? 7 : 71);
}
