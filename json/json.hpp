// Small JSON texts: flat objects whose values are strings, numbers,
// booleans or arrays of numbers, as the gateway and chat_history write them
// and the gateway reads them from the page.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace chat {

// One value of a flat object; null reads as false.
using JsonValue = std::variant<std::string, double, bool, std::vector<double>>;
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

// Parses one flat object. Nested objects, arrays of anything but numbers,
// duplicate keys and trailing text are refused (nullopt).
std::optional<JsonObject> parse_object(std::string_view text);

// Typed look-ups; nullopt when the key is missing or of another type.
std::optional<std::string> get_string(const JsonObject &object, std::string_view key);
std::optional<std::vector<double>> get_numbers(const JsonObject &object, std::string_view key);

// Builds an object one member at a time: JsonWriter().add("type", "x").text()
class JsonWriter {
public:
    JsonWriter &add(std::string_view key, std::string_view value);
    JsonWriter &add(std::string_view key, const char *value) { return add(key, std::string_view(value)); }
    JsonWriter &add(std::string_view key, bool value);
    JsonWriter &add(std::string_view key, long long value);
    JsonWriter &add(std::string_view key, const std::vector<int> &values);
    // A member whose value is JSON made elsewhere (an array of objects).
    JsonWriter &add_json(std::string_view key, std::string_view json);
    std::string text() const { return out_ + "}"; }

private:
    void key(std::string_view name);
    std::string out_ = "{";
};

// A JSON string literal, quotes included; also escapes < > & and the
// line separators so that the text is safe wherever it ends up.
std::string quote(std::string_view utf8);

}  // namespace chat
