// How qorcap writes numbers and JSON: numbers with the precision their size needs, and JSON
// objects built field by field with every string escaped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor::apps {

// `value` with `decimals` digits after the point.
std::string fixed(double value, int decimals);
// A rate or a size with about four significant digits: 149.1, 12.34, 0.2500; "0" for 0.
std::string significant(double value);

// A JSON string literal, quotes included.
std::string jsonString(const std::string &text);

// One JSON object, its fields added in order.
class JsonObject {
public:
    JsonObject &text(const char *key, const std::string &value);
    JsonObject &number(const char *key, uint64_t value);
    // Written as given (from fixed() or significant()); NaN as null.
    JsonObject &number(const char *key, double value, const std::string &shown);
    JsonObject &flag(const char *key, bool value);
    JsonObject &null(const char *key);
    // Already JSON: an object or an array.
    JsonObject &raw(const char *key, const std::string &json);
    std::string str() const { return "{" + fields_ + "}"; }

private:
    JsonObject &field(const char *key, const std::string &json);
    std::string fields_;
};

std::string jsonArray(const std::vector<std::string> &items);

} // namespace qor::apps
