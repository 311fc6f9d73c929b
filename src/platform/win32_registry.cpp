// The registry: the keys that the monitor writes its values under.
#include "platform/win32_impl.h"

namespace rz {

long Win32Platform::RegOpenOrCreate(std::uint32_t root, const std::string& subKey, Handle* key) {
    HKEY opened = nullptr;
    const LONG r = RegCreateKeyA(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root)), subKey.c_str(), &opened);
    *key = reinterpret_cast<Handle>(opened);
    return r;
}

long Win32Platform::RegSetString(Handle key, const std::string& name, const char* data, std::uint32_t bytes) {
    return RegSetValueExA(reinterpret_cast<HKEY>(key), name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data), bytes);
}

long Win32Platform::RegRemoveValue(Handle key, const std::string& name) {
    return RegDeleteValueA(reinterpret_cast<HKEY>(key), name.c_str());
}

long Win32Platform::RegClose(Handle key) { return RegCloseKey(reinterpret_cast<HKEY>(key)); }

}  // namespace rz
