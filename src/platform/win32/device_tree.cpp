// The device tree session: the configuration manager (cfgmgr32) for a
// device's parents, instance IDs and PCI link figures.

#include <cstring>
#include <utility>

#include "common/text.h"
#include "platform/win32/gpu_abi.h"

namespace karvo::platform::win32 {
namespace {

// ---- Configuration manager -------------------------------------------------

using ConfigRet = std::uint32_t;  // CONFIGRET: 0 means success
using DevInst = std::uint32_t;    // DEVINST

struct DevPropKey {
    Guid fmtid;
    std::uint32_t pid;
};
static_assert(sizeof(DevPropKey) == 20);
static_assert(offsetof(DevPropKey, pid) == 16);

// {3AB22E31-8264-4B4E-9AF5-A8D2D8E33E62}: the PCI device property set.
constexpr Guid kPciDeviceProperties = {0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};
constexpr DevPropKey kCurrentLinkSpeed = {kPciDeviceProperties, 9};
constexpr DevPropKey kCurrentLinkWidth = {kPciDeviceProperties, 10};
constexpr DevPropKey kMaxLinkSpeed = {kPciDeviceProperties, 11};
constexpr DevPropKey kMaxLinkWidth = {kPciDeviceProperties, 12};
constexpr std::uint32_t kDevPropTypeUint32 = 0x00000007;
constexpr std::size_t kMaxDeviceIdUnits = 200;  // MAX_DEVICE_ID_LEN, the NUL included

using CmLocateDevNodeWFn = ConfigRet (*)(DevInst* node, const char16_t* instance_id, std::uint32_t flags);
using CmGetParentFn = ConfigRet (*)(DevInst* parent, DevInst node, std::uint32_t flags);
using CmGetDeviceIdWFn = ConfigRet (*)(DevInst node, char16_t* buffer, std::uint32_t buffer_units,
                                       std::uint32_t flags);
using CmGetDevNodePropertyWFn = ConfigRet (*)(DevInst node, const DevPropKey* key, std::uint32_t* type,
                                              std::uint8_t* buffer, std::uint32_t* buffer_size, std::uint32_t flags);

class Win32DeviceTree final : public DeviceTreeSession {
public:
    Library cfgmgr32;
    CmLocateDevNodeWFn locate_dev_node = nullptr;
    CmGetParentFn get_parent = nullptr;
    CmGetDeviceIdWFn get_device_id = nullptr;
    CmGetDevNodePropertyWFn get_property = nullptr;

    std::optional<std::uint32_t> locate(std::string_view instance_id) override {
        if (instance_id.empty()) return std::nullopt;  // an empty ID names the root of the tree
        const std::u16string wide = text::utf8_to_utf16(instance_id);
        DevInst node = 0;
        if (locate_dev_node(&node, wide.c_str(), 0) != 0) return std::nullopt;
        return node;
    }

    std::optional<std::uint32_t> parent(std::uint32_t node) override {
        DevInst up = 0;
        if (get_parent(&up, node, 0) != 0) return std::nullopt;
        return up;
    }

    std::optional<std::string> instance_id(std::uint32_t node) override {
        char16_t buffer[kMaxDeviceIdUnits + 1] = {};
        if (get_device_id(node, buffer, kMaxDeviceIdUnits, 0) != 0) return std::nullopt;
        std::size_t length = 0;
        while (length < kMaxDeviceIdUnits && buffer[length] != u'\0') ++length;
        return text::utf16_to_utf8(std::u16string_view(buffer, length));
    }

    std::optional<std::uint32_t> link_property(std::uint32_t node, PciLinkProperty property) override {
        const DevPropKey* key = &kCurrentLinkSpeed;
        switch (property) {
            case PciLinkProperty::current_speed: key = &kCurrentLinkSpeed; break;
            case PciLinkProperty::current_width: key = &kCurrentLinkWidth; break;
            case PciLinkProperty::max_speed: key = &kMaxLinkSpeed; break;
            case PciLinkProperty::max_width: key = &kMaxLinkWidth; break;
        }
        std::uint32_t type = 0;
        std::uint32_t value = 0;
        std::uint32_t size = sizeof value;
        if (get_property(node, key, &type, reinterpret_cast<std::uint8_t*>(&value), &size, 0) != 0) return std::nullopt;
        if (type != kDevPropTypeUint32 || size != sizeof value) return std::nullopt;
        return value;
    }
};

}  // namespace

Result<std::unique_ptr<DeviceTreeSession>> open_device_tree() {
    auto session = std::make_unique<Win32DeviceTree>();
    auto cfgmgr32 = Library::open_system("cfgmgr32.dll");
    if (!cfgmgr32) return Error("cannot load cfgmgr32.dll", cfgmgr32.error());
    session->cfgmgr32 = std::move(*cfgmgr32);
    const Library& c = session->cfgmgr32;
    if (!resolve_into(c, "CM_Locate_DevNodeW", session->locate_dev_node) ||
        !resolve_into(c, "CM_Get_Parent", session->get_parent) ||
        !resolve_into(c, "CM_Get_Device_IDW", session->get_device_id) ||
        !resolve_into(c, "CM_Get_DevNode_PropertyW", session->get_property)) {
        return Error("cfgmgr32.dll lacks a device tree entry point");
    }
    return std::unique_ptr<DeviceTreeSession>(std::move(session));
}

}  // namespace karvo::platform::win32
