#include "DaroriCore/ProcessInfo.hpp"

#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include "Unicode/Unicode.hpp"

namespace darori::ProcessInfo {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

const CPUInfo& cpuInfo() {
    static const CPUInfo info = parseCPUInfo(readFile("/proc/cpuinfo"));
    return info;
}

bool isPlainDottedName(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.back() == '.') return false;
    char previous = 0;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!ok || (c == '.' && previous == '.')) return false;
        previous = c;
    }
    return true;
}

}  // namespace

std::string cleanSystemText(std::string s) {
    const auto nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    std::string repaired;
    for (std::size_t i = 0; i < s.size();) unicode::appendUTF8(repaired, unicode::decodeAt(s, i));
    return repaired;
}

CPUInfo parseCPUInfo(std::string_view text) {
    CPUInfo info;
    std::istringstream in{std::string(text)};
    std::string line, physicalId;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        std::string value = line.substr(colon + 1);
        if (!value.empty() && value[0] == ' ') value.erase(0, 1);
        if (key == "processor") ++info.logical, physicalId.clear();
        else if (key == "model name" && info.modelName.empty()) info.modelName = value;
        else if (key == "vendor_id" && info.vendor.empty()) info.vendor = value;
        else if (key == "cpu family" && info.family.empty()) info.family = value;
        else if (key == "cpu cores" && info.coresPerPackage.empty()) info.coresPerPackage = value;
        else if (key == "physical id") physicalId = value;
        else if (key == "core id") info.physicalCores.insert({physicalId, value});
    }
    return info;
}


std::string stringFromSysctl(std::string_view name) {
    const CPUInfo& cpu = cpuInfo();
    if (name == "machdep.cpu.brand_string") return cleanSystemText(cpu.modelName);
    if (name == "machdep.cpu.vendor") return cleanSystemText(cpu.vendor);
    if (name == "machdep.cpu.family") return cleanSystemText(cpu.family);
    if (name == "machdep.cpu.thread_count") return cpu.logical ? std::to_string(cpu.logical) : "";
    if (name == "machdep.cpu.core_count") {
        if (!cpu.physicalCores.empty()) return std::to_string(cpu.physicalCores.size());
        return cleanSystemText(cpu.coresPerPackage);
    }
    if (name == "hw.model") return cleanSystemText(readFile("/sys/class/dmi/id/product_name"));
    if (!isPlainDottedName(name)) return "";
    std::string path = "/proc/sys/";
    for (char c : name) path += (c == '.' ? '/' : c);
    return cleanSystemText(readFile(path));
}

const std::string& processor() {
    static const std::string value = stringFromSysctl("machdep.cpu.brand_string");
    return value;
}
const std::string& cores() {
    static const std::string value = stringFromSysctl("machdep.cpu.core_count");
    return value;
}
const std::string& threads() {
    static const std::string value = stringFromSysctl("machdep.cpu.thread_count");
    return value;
}
const std::string& vendor() {
    static const std::string value = stringFromSysctl("machdep.cpu.vendor");
    return value;
}
const std::string& family() {
    static const std::string value = stringFromSysctl("machdep.cpu.family");
    return value;
}
const std::string& hwModel() {
    static const std::string value = [] {
        std::string model = stringFromSysctl("hw.model");
        return model.empty() ? std::string("unknown") : model;
    }();
    return value;
}

}  // namespace darori::ProcessInfo
