#include "YamlCheck.h"

#include <algorithm>

namespace exporter::yamlcheck {

void Fail(const YAML::Node& at, std::string message)
{
    throw Wrong{at.Mark(), std::move(message)};
}

const std::string& Scalar(const YAML::Node& node, const char* what)
{
    if (!node.IsScalar())
        Fail(node, std::string(what) + " must be a single value");
    return node.Scalar();
}

void CheckKeys(const YAML::Node& map, std::initializer_list<std::string_view> known, const char* what)
{
    if (!map.IsMap())
        Fail(map, std::string(what) + " must be a map of keys to values");
    for (const auto& entry : map) {
        const std::string& key = Scalar(entry.first, "a key");
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            std::string list;
            for (std::string_view k : known)
                list += (list.empty() ? "" : ", ") + std::string(k);
            Fail(entry.first, "unknown key '" + key + "' in " + what + " (expected " + list + ")");
        }
    }
}

} // namespace exporter::yamlcheck
