#include "builder/project.h"

#include <filesystem>
#include <stdexcept>

#include <toml++/toml.h>

#include "app/platform.h"
#include "engine/catalogue.h"

namespace {

[[noreturn]] void refuse(const std::string& file, const std::string& what) {
    throw std::runtime_error(file + ": " + what);
}

std::string relativeTo(const std::filesystem::path& base, const std::string& path) {
    std::filesystem::path p(path);
    return (p.is_absolute() ? p : base / p).lexically_normal().string();
}

uint8_t choice(const std::string& file, const std::string& setting, const std::string& value,
               const std::map<std::string, uint8_t>& choices) {
    auto found = choices.find(value);
    if (found == choices.end()) {
        std::string allowed;
        for (const auto& [name, number] : choices) allowed += (allowed.empty() ? "" : ", ") + name;
        refuse(file, setting + " = \"" + value + "\": expected one of " + allowed);
    }
    return found->second;
}

std::string text(const toml::node_view<const toml::node>& node, const std::string& file, const std::string& name) {
    if (!node) return "";
    if (!node.is_string()) refuse(file, name + " must be text");
    return node.value<std::string>().value_or("");
}

}  // namespace

bool globMatches(const std::string& pattern, const std::string& path) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto slash = [](char c) { return c == '\\' || c == '/'; };
    // Iterative matching with one backtrack point for * and one for **.
    size_t p = 0, s = 0, starP = std::string::npos, starS = 0;
    bool starCrossesFolders = false;
    while (s < path.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starCrossesFolders = p + 1 < pattern.size() && pattern[p + 1] == '*';
            p += starCrossesFolders ? 2 : 1;
            starP = p;
            starS = s;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' ? !slash(path[s])
                                      : (slash(pattern[p]) && slash(path[s])) || lower(pattern[p]) == lower(path[s]))) {
            ++p;
            ++s;
        } else if (starP != std::string::npos && (starCrossesFolders || !slash(path[starS]))) {
            p = starP;
            s = ++starS;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

Project readProject(const std::string& path) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        refuse(path, std::string(e.description()) + " at line " + std::to_string(e.source().begin.line));
    }
    std::filesystem::path base = std::filesystem::absolute(path).parent_path();
    const toml::table& t = root;
    Project project;
    project.title = t["title"] ? text(t["title"], path, "title") : project.title;
    if (t["new"]) project.newFolder = relativeTo(base, text(t["new"], path, "new"));
    if (const toml::array* olds = t["old"].as_array()) {
        for (const toml::node& old : *olds) {
            if (!old.is_string()) refuse(path, "old must be a list of folders");
            project.oldFolders.push_back(relativeTo(base, *old.value<std::string>()));
        }
    } else if (t["old"]) {
        project.oldFolders.push_back(relativeTo(base, text(t["old"], path, "old")));
    }
    if (t["output"]) project.output = relativeTo(base, text(t["output"], path, "output"));
    if (t["image"]) project.image = relativeTo(base, text(t["image"], path, "image"));
    if (t["level"]) {
        auto level = t["level"].value<int64_t>();
        if (!level || *level < 1 || *level > 12) refuse(path, "level must be a number from 1 to 12");
        project.level = static_cast<int>(*level);
    }
    if (t["volume_size"]) {
        auto size = t["volume_size"].value<int64_t>();
        if (!size || *size < 0) refuse(path, "volume_size must be a number of bytes");
        project.volumeSize = static_cast<uint64_t>(*size);
    }
    if (t["full_screen"]) project.fullScreen = t["full_screen"].value<bool>().value_or(false);
    project.defaultFolder = text(t["default_folder"], path, "default_folder");

    if (const toml::table* registry = t["registry"].as_table()) {
        std::string rootName = text((*registry)["root"], path, "registry.root");
        project.registryRoot = choice(path, "registry.root", rootName.empty() ? "HKLM" : rootName,
                                      {{"HKCR", ROOT_CLASSES}, {"HKCU", ROOT_CURRENT_USER},
                                       {"HKLM", ROOT_LOCAL_MACHINE}, {"HKU", ROOT_USERS}});
        project.registryKey = text((*registry)["key"], path, "registry.key");
        project.registryValue = text((*registry)["value"], path, "registry.value");
        if (project.registryKey.empty()) refuse(path, "registry.key is missing");
    }
    if (const toml::table* ini = t["ini"].as_table()) {
        project.iniFile = text((*ini)["file"], path, "ini.file");
        project.iniSection = text((*ini)["section"], path, "ini.section");
        project.iniKey = text((*ini)["key"], path, "ini.key");
        if (project.iniFile.empty() || project.iniSection.empty() || project.iniKey.empty())
            refuse(path, "ini needs file, section and key");
    }
    if (const toml::table* texts = t["texts"].as_table()) {
        for (const auto& [key, value] : *texts) {
            std::string name(key.str());
            size_t dot = name.find('.');
            unsigned table = 0, entry = 0;
            if (dot == std::string::npos || std::sscanf(name.c_str(), "%u.%u", &table, &entry) != 2 || table > 7 ||
                entry > 65535 || !value.is_string())
                refuse(path, "texts." + name + ": expected \"table.entry\" = \"text\" with table 0-7");
            project.texts[{table, entry}] = *value.value<std::string>();
        }
    }
    if (const toml::array* rules = t["rules"].as_array()) {
        for (const toml::node& node : *rules) {
            const toml::table* r = node.as_table();
            if (!r) refuse(path, "each [[rules]] must be a table");
            FileRule rule;
            rule.pattern = text((*r)["pattern"], path, "rules.pattern");
            if (rule.pattern.empty()) refuse(path, "a rule needs a pattern");
            if (rule.pattern.find("..") != std::string::npos) refuse(path, "rule pattern " + rule.pattern + " holds ..");
            if ((*r)["missing"])
                rule.missingAction = choice(path, "missing", text((*r)["missing"], path, "missing"),
                                            {{"skip", MISSING_SKIP}, {"install", MISSING_INSTALL}, {"fail", MISSING_FAIL}});
            if ((*r)["unmatched"])
                rule.unmatchedAction = choice(path, "unmatched", text((*r)["unmatched"], path, "unmatched"),
                                              {{"fail", UNMATCHED_FAIL}, {"skip", UNMATCHED_SKIP}, {"search", UNMATCHED_SEARCH}});
            if ((*r)["destination"])
                rule.destinationKind = choice(path, "destination", text((*r)["destination"], path, "destination"),
                                              {{"target", DEST_TARGET}, {"windows", DEST_WINDOWS}, {"shared", DEST_SHARED}});
            rule.alternateSubfolder = text((*r)["alternate_subfolder"], path, "alternate_subfolder");
            if (const toml::array* regions = (*r)["regions"].as_array()) {
                for (const toml::node& regionNode : *regions) {
                    const toml::table* g = regionNode.as_table();
                    if (!g) refuse(path, "each [[rules.regions]] must be a table");
                    RegionPlan region;
                    std::string pattern = text((*g)["pattern"], path, "regions.pattern");
                    region.pattern.assign(pattern.begin(), pattern.end());
                    auto length = (*g)["length"].value<int64_t>();
                    if (!length || *length <= 0 || *length > 0x7FFFFFFF) refuse(path, "a region needs a length");
                    region.regionLength = static_cast<uint32_t>(*length);
                    region.carryOver = (*g)["carry_over"].value<bool>().value_or(true) ? 1 : 0;
                    if (auto offset = (*g)["offset"].value<int64_t>()) region.foundOffset = static_cast<uint32_t>(*offset);
                    if (region.pattern.empty() && region.foundOffset == NOT_FOUND)
                        refuse(path, "a region needs a pattern or a fixed offset");
                    rule.regions.push_back(region);
                }
            }
            project.rules.push_back(rule);
        }
    }
    return project;
}
