#include "utils/VmInfo.h"

#include "tiny/Process.h"
#include "utils/PathUtils.h"


namespace tavir::utils {

std::string VmInfo::vmdpath;
VirtInfo VmInfo::machineVirtInfo;

namespace {

const char* argumentFor(VmInfo::VmType kind)
{
    switch (kind) {
    case VmInfo::UnknownVm:
        return "unknownvm";
    case VmInfo::VmwareUnknown:
        return "vmware";
    case VmInfo::Parallels:
        return "parallels";
    default:
        return "";
    }
}

// The type a detector's exit code names. The enumeration holds only the codes
// of its table, so any other code is mapped rather than cast: it reads as
// NativeOs, whose description every value outside the table shares.
VmInfo::VmType typeNamedBy(int code)
{
    if (code < VmInfo::NativeOs || code > VmInfo::Undetected)
        return VmInfo::NativeOs;
    return static_cast<VmInfo::VmType>(code);
}

} // namespace

std::string VmInfo::detectorPath()
{
    std::string path = vmdpath.empty() ? "vmd" : vmdpath;
    if (path[0] == '/')
        return path;
    return executableFolder() + "/" + path;
}

int VmInfo::checkVmType(VmType kind)
{
    if (vmdpath.empty())
        vmdpath = "vmd";
    std::string path = detectorPath();
    int handle = -1;
    if (tiny::createProcess(path.c_str(), argumentFor(kind), &handle) < 0)
        return Undetected;
    int code = tiny::waitForProcessKill(handle, 2);
    return code == -1 ? Undetected : code;
}

VmInfo::VmType VmInfo::getVirtualMachineType()
{
    int result = checkVmType(VmwareUnknown);
    if (result == Undetected)
        return Undetected;
    if (result != kNoneOfThatKind)
        return typeNamedBy(result);
    result = checkVmType(UnknownVm);
    if (result == Undetected)
        return Undetected;
    return result == kNoneOfThatKind ? NativeOs : UnknownVm;
}

VirtInfo VmInfo::getVirtInfo(const std::string&, const std::string& detector)
{
    vmdpath = detector;
    machineVirtInfo = {false, "unknown", 0.0f};
    bool virtualised = false;
    int type = NativeOs;
    int result = checkVmType(VmwareUnknown);
    if (result == NativeOs) {
        type = NativeOs;
    } else if (result == Undetected) {
        type = Undetected;
    } else if (result == kNoneOfThatKind) {
        int any = checkVmType(UnknownVm);
        if (any == Undetected) {
            type = Undetected;
        } else if (any == kNoneOfThatKind) {
            type = NativeOs;
        } else {
            type = UnknownVm;
            virtualised = true;
        }
    } else {
        // 1-7 name a kind; other codes mean a hypervisor the table has no name for.
        type = result;
        virtualised = true;
    }
    VirtInfo info;
    info.virtualised = virtualised;
    info.description = vmTypeToString(typeNamedBy(type));
    info.confidence = 0.8f;
    if (type == UnknownVm) {
        info.description = "Unknown MAC virtualization";
        info.confidence = 0.5f;
    }
    machineVirtInfo = info;
    return info;
}

const char* VmInfo::vmTypeToString(VmType type)
{
    switch (type) {
    case UnknownVm:
        return "Unknown virtual machine";
    case VmwareUnknown:
        return "VmWare (unknown version)";
    case VmwareExpress:
        return "VmWare Express";
    case VmwareWorkstation:
        return "VmWare Workstation";
    case VmwareEsx:
        return "VmWare ESX";
    case VmwareGsx:
        return "VmWare GSX";
    case Parallels:
        return "Parallels";
    case Undetected:
        return "Virtualization undetected";
    default:
        return "Native OS";
    }
}

} // namespace tavir::utils
