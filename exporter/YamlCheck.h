#pragma once

// What both configuration files (the exporter's and the web configuration)
// need to check YAML: a failure with its place, a single value, and the keys
// of a map against those allowed.

#include <yaml-cpp/yaml.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace exporter::yamlcheck {

// What is wrong, and where: 0-based as yaml-cpp counts.
struct Wrong {
    YAML::Mark mark;
    std::string message;
};

[[noreturn]] void Fail(const YAML::Node& at, std::string message);
const std::string& Scalar(const YAML::Node& node, const char* what);
// Every key of a map, checked against those allowed.
void CheckKeys(const YAML::Node& map, std::initializer_list<std::string_view> known, const char* what);

} // namespace exporter::yamlcheck
