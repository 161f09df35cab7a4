// p11-kit's module configuration: one "<name>.module" file per module in
// the user's and the system's module folders, whose `module:` line names the
// library (a relative name lives in p11-kit's module folder).
#include <windows.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "pkcs11/module.h"

#ifndef VELMORA_P11_MODULE_DIR
#define VELMORA_P11_MODULE_DIR "/usr/lib/x86_64-linux-gnu/pkcs11"
#endif

namespace velmora::pkcs11 {

namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool readSmallFile(const std::string& path, std::string& text) {
  struct stat st {};
  // A configuration file is a few lines: anything else is not one.
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 64 * 1024) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return true;
}

bool isFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::string> moduleConfigFolders() {
  std::vector<std::string> folders;
  const char* config = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  if (config && *config) folders.push_back(std::string(config) + "/pkcs11/modules");
  else if (home && *home) folders.push_back(std::string(home) + "/.config/pkcs11/modules");
  // Tests and sandboxes replace the system folders (an empty value: none).
  if (const char* system = getenv("VELMORA_P11KIT_SYSTEM_DIRS")) {
    std::stringstream list(system);
    std::string folder;
    while (std::getline(list, folder, ':'))
      if (!folder.empty()) folders.push_back(folder);
    return folders;
  }
  folders.push_back("/etc/pkcs11/modules");
  folders.push_back("/usr/share/p11-kit/modules");
  return folders;
}

std::string parseModuleLine(const std::string& text) {
  std::stringstream lines(text);
  std::string line, value;
  while (std::getline(lines, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (trim(line.substr(0, colon)) == "module") value = trim(line.substr(colon + 1));
  }
  return value;
}

std::vector<ModuleConfig> configuredModules() {
  std::vector<ModuleConfig> modules;
  std::set<std::string> seen;
  for (const auto& folder : moduleConfigFolders()) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) continue;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
      std::string n = e->d_name;
      const std::string ext = ".module";
      if (n.size() > ext.size() && n.compare(n.size() - ext.size(), ext.size(), ext) == 0 && n[0] != '.')
        names.push_back(n);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
      ModuleConfig m;
      m.name = n.substr(0, n.size() - 7);
      m.file = folder + "/" + n;
      if (seen.count(m.name)) continue;
      std::string text;
      if (!readSmallFile(m.file, text)) continue;
      seen.insert(m.name);  // a file without `module:` still hides later ones
      std::string library = parseModuleLine(text);
      if (library.empty()) continue;
      m.path = library[0] == '/' ? library : std::string(VELMORA_P11_MODULE_DIR) + "/" + library;
      modules.push_back(std::move(m));
    }
  }
  return modules;
}

std::string configuredModulePath(const std::string& name) {
  for (const auto& m : configuredModules())
    if (m.name == name) return m.path;
  return {};
}

std::string resolveModule(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return isFile(name) ? name : std::string();
  // The name as the system has always used it, on the library search path.
  if (HMODULE probe = LoadLibraryA(name.c_str())) {
    FreeLibrary(probe);
    return name;
  }
  std::string path = configuredModulePath(name);
  return isFile(path) ? path : std::string();
}

}  // namespace velmora::pkcs11
