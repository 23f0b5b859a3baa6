#pragma once
// Whether the machine runs under a hypervisor, told by the separate detector
// program "vmd" through its exit code.
#include <string>

namespace tavir::utils {

struct VirtInfo {
    bool virtualised = false;
    std::string description;
    float confidence = 0.0f;
};

class VmInfo {
public:
    enum VmType {
        NativeOs = 0,
        UnknownVm = 1,
        VmwareUnknown = 2,
        VmwareExpress = 3,
        VmwareWorkstation = 4,
        VmwareEsx = 5,
        VmwareGsx = 6,
        Parallels = 7,
        Undetected = 8,
    };

    // The detector's answer for "no hypervisor of that kind".
    static constexpr int kNoneOfThatKind = 71;

    static int checkVmType(VmType kind);
    static VmType getVirtualMachineType();
    static VirtInfo getVirtInfo(const std::string& osName, const std::string& detectorPath);
    static const char* vmTypeToString(VmType type);

    // The detector that runs when none is named: "vmd" beside the running
    // program. A relative path is taken relative to that folder too, never to
    // the working directory, so that no stray "vmd" there is ever run.
    static std::string detectorPath();

    static std::string vmdpath;
    static VirtInfo machineVirtInfo;
};

} // namespace tavir::utils
