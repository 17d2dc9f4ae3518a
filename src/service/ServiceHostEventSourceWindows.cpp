// The event-log source of the service on Windows: its registry key, and its name in the
// Application log's list of sources.
#include "service/ServiceHost.h"

#include <windows.h>
#include <winreg.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quorvane {

namespace {

constexpr const char* kApplicationLogKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr const char* kSourcesValue = "Sources";

// The names of a REG_MULTI_SZ value up to the empty name that ends it (or the end of the data).
std::vector<std::string> multiStringNames(const std::vector<char>& data) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < data.size() && data[start] != '\0') {
    std::size_t end = start;
    while (end < data.size() && data[end] != '\0') ++end;
    names.emplace_back(data.data() + start, end - start);
    start = end + 1;
  }
  return names;
}

std::vector<char> multiStringData(const std::vector<std::string>& names) {
  std::vector<char> data;
  for (const std::string& name : names) {
    data.insert(data.end(), name.begin(), name.end());
    data.push_back('\0');
  }
  data.push_back('\0');
  return data;
}

bool readSources(HKEY key, std::vector<char>& data, DWORD& type) {
  DWORD size = 0;
  if (::RegQueryValueExA(key, kSourcesValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  data.assign(size, '\0');
  if (size != 0 && ::RegQueryValueExA(key, kSourcesValue, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data.data()),
                                      &size) != ERROR_SUCCESS) {
    return false;
  }
  data.resize(size);
  return true;
}

// Adds the name to the Application log's list of sources once, or removes every copy of it.
void editSources(const std::string& name, bool add) {
  HKEY key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApplicationLogKey, 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  std::vector<char> data;
  DWORD type = REG_MULTI_SZ;
  if (readSources(key, data, type)) {
    std::vector<std::string> names = multiStringNames(data);
    bool listed = std::find(names.begin(), names.end(), name) != names.end();
    if (add && !listed) names.push_back(name);
    if (!add) names.erase(std::remove(names.begin(), names.end(), name), names.end());
    if (add != listed) {
      std::vector<char> updated = multiStringData(names);
      ::RegSetValueExA(key, kSourcesValue, 0, type, reinterpret_cast<const BYTE*>(updated.data()),
                       static_cast<DWORD>(updated.size()));
    }
  }
  ::RegCloseKey(key);
}

}  // namespace

void ServiceHost::installEventSource(const std::string& messageFile, unsigned typesSupported) {
  std::string sourceKey = std::string(kApplicationLogKey) + "\\" + serviceName_;
  HKEY key;
  if (::RegCreateKeyA(HKEY_LOCAL_MACHINE, sourceKey.c_str(), &key) == ERROR_SUCCESS) {
    ::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(messageFile.c_str()),
                     static_cast<DWORD>(messageFile.size() + 1));
    DWORD types = typesSupported;
    ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                     sizeof types);
    ::RegCloseKey(key);
  }
  editSources(serviceName_, true);
}

void ServiceHost::removeEventSource() {
  std::string sourceKey = std::string(kApplicationLogKey) + "\\" + serviceName_;
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, sourceKey.c_str());
  editSources(serviceName_, false);
}

}  // namespace quorvane
