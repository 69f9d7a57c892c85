// The registry: keys by path with their values, opened, created, read,
// written and closed through handles; one view, no security, no links.
#include "standin/shared.h"

#include <string.h>

namespace standin {

const char kPolicyKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";

namespace {

std::string RootName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return "hklm";
    if (root == HKEY_CURRENT_USER)
        return "hkcu";
    if (root == HKEY_CLASSES_ROOT)
        return "hkcr";
    if (root == HKEY_USERS)
        return "hku";
    return "";
}

// Full lower-cased path of root + subkey, or "" when the root is not known.
std::string KeyPath(HKEY root, const char *subkey)
{
    std::string base;
    auto open = g_machine.openKeys.find(root);
    if (open != g_machine.openKeys.end())
        base = open->second;
    else
        base = RootName(root);
    if (base.empty())
        return "";
    if (subkey == nullptr || *subkey == '\0')
        return base;
    return base + "\\" + Lower(subkey);
}

HKEY NewKeyHandle(const std::string &path)
{
    HKEY key = (HKEY)NewHandleValue();
    g_machine.openKeys[key] = path;
    return key;
}

std::map<std::string, RegistryValue> *OpenKeyValues(HKEY key)
{
    auto open = g_machine.openKeys.find(key);
    if (open == g_machine.openKeys.end())
        return nullptr;
    auto found = g_machine.keys.find(open->second);
    return found == g_machine.keys.end() ? nullptr : &found->second;
}

void CreateKeyPath(const std::string &path)
{
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
        g_machine.keys[path.substr(0, at)];
    g_machine.keys[path];
}

}  // namespace

void SetValue(const std::string &path, const std::string &name, DWORD type,
              const std::vector<BYTE> &data)
{
    std::string full = "hklm\\" + Lower(path);
    CreateKeyPath(full);
    g_machine.keys[full][Lower(name)] = RegistryValue{type, data};
}

void SetDword(const std::string &path, const std::string &name, DWORD value)
{
    SetValue(path, name, REG_DWORD,
             {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)});
}

bool HasKey(const std::string &path)
{
    return g_machine.keys.count("hklm\\" + Lower(path)) != 0;
}

bool HasValue(const std::string &path, const std::string &name)
{
    auto key = g_machine.keys.find("hklm\\" + Lower(path));
    return key != g_machine.keys.end() && key->second.count(Lower(name)) != 0;
}

RegistryValue GetValue(const std::string &path, const std::string &name)
{
    auto key = g_machine.keys.find("hklm\\" + Lower(path));
    if (key == g_machine.keys.end())
        return RegistryValue{REG_NONE, {}};
    auto value = key->second.find(Lower(name));
    return value == key->second.end() ? RegistryValue{REG_NONE, {}} : value->second;
}

}  // namespace standin

using namespace standin;

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    KeyOpen open{"RegOpenKeyExA", hKey, lpSubKey ? lpSubKey : "", samDesired, ulOptions};
    g_machine.keyOpens.push_back(open);
    if (Called("RegOpenKeyExA"))
        return (LONG)g_machine.lastError;
    std::string path = KeyPath(hKey, lpSubKey);
    if (path.empty())
        return ERROR_INVALID_HANDLE;
    if (g_machine.keys.count(path) == 0)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewKeyHandle(path);
    g_machine.keyOpens.back().succeeded = true;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    KeyOpen open{"RegCreateKeyExA", hKey, lpSubKey ? lpSubKey : "", samDesired, dwOptions,
                 lpClass ? lpClass : "(null)", lpSecurityAttributes == nullptr};
    g_machine.keyOpens.push_back(open);
    if (Called("RegCreateKeyExA"))
        return (LONG)g_machine.lastError;
    if (Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    std::string path = KeyPath(hKey, lpSubKey);
    if (path.empty())
        return ERROR_INVALID_HANDLE;
    bool existed = g_machine.keys.count(path) != 0;
    CreateKeyPath(path);
    *phkResult = NewKeyHandle(path);
    if (lpdwDisposition)
        *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    g_machine.keyOpens.back().succeeded = true;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    g_machine.valuesQueried.push_back(lpValueName ? lpValueName : "");
    if (Called("RegQueryValueExA"))
        return (LONG)g_machine.lastError;
    if (lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    auto *values = OpenKeyValues(hKey);
    if (values == nullptr)
        return ERROR_INVALID_HANDLE;
    auto value = values->find(Lower(lpValueName ? lpValueName : ""));
    if (value == values->end())
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = value->second.type;
    DWORD size = (DWORD)value->second.data.size();
    if (lpData == nullptr) {
        if (lpcbData)
            *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size)
        memcpy(lpData, value->second.data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData)
{
    g_machine.valuesSet.push_back(lpValueName ? lpValueName : "");
    if (Called("RegSetValueExA"))
        return (LONG)g_machine.lastError;
    if (Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    auto *values = OpenKeyValues(hKey);
    if (values == nullptr)
        return ERROR_INVALID_HANDLE;
    if (g_machine.mutexOwned == 0)
        ++g_machine.writesOutsideMutex;
    (*values)[Lower(lpValueName ? lpValueName : "")] =
        RegistryValue{dwType, std::vector<BYTE>(lpData, lpData + cbData)};
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    g_machine.valuesDeleted.push_back(lpValueName ? lpValueName : "");
    if (Called("RegDeleteValueA"))
        return (LONG)g_machine.lastError;
    auto *values = OpenKeyValues(hKey);
    if (values == nullptr)
        return ERROR_INVALID_HANDLE;
    if (g_machine.mutexOwned == 0)
        ++g_machine.writesOutsideMutex;
    return values->erase(Lower(lpValueName ? lpValueName : "")) ? ERROR_SUCCESS
                                                                 : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    // A failing close still closes: the handle is gone either way.
    bool failed = Called("RegCloseKey");
    auto open = g_machine.openKeys.find(hKey);
    if (open == g_machine.openKeys.end())
        return ERROR_INVALID_HANDLE;
    g_machine.openKeys.erase(open);
    ++g_machine.keysClosed;
    return failed ? (LONG)g_machine.lastError : ERROR_SUCCESS;
}
