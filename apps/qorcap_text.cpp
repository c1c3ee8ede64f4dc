#include "qorcap_text.h"

#include <cmath>
#include <cstdio>

namespace qor::apps {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string significant(double value) {
    if (value == 0 || !std::isfinite(value)) return value == 0 ? "0" : "-";
    const double size = std::fabs(value);
    const int decimals = size >= 100 ? 1 : size >= 10 ? 2 : size >= 1 ? 3 : 4;
    return fixed(value, decimals);
}

std::string jsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

JsonObject &JsonObject::field(const char *key, const std::string &json) {
    if (!fields_.empty()) fields_ += ",";
    fields_ += jsonString(key) + ":" + json;
    return *this;
}

JsonObject &JsonObject::text(const char *key, const std::string &value) {
    return field(key, jsonString(value));
}

JsonObject &JsonObject::number(const char *key, uint64_t value) {
    return field(key, std::to_string(value));
}

JsonObject &JsonObject::number(const char *key, double value, const std::string &shown) {
    return field(key, std::isfinite(value) ? shown : "null");
}

JsonObject &JsonObject::flag(const char *key, bool value) {
    return field(key, value ? "true" : "false");
}

JsonObject &JsonObject::null(const char *key) {
    return field(key, "null");
}

JsonObject &JsonObject::raw(const char *key, const std::string &json) {
    return field(key, json);
}

std::string jsonArray(const std::vector<std::string> &items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

} // namespace qor::apps
