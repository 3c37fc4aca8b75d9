// libFuzzer target for the form decoding of task requests. The first byte
// picks the field, the second the size of the destination; the rest is the
// body. The result is compared with a plain reading of the body: pairs
// split at "&", the first one that is the field's name and "=" wins. The
// three fields of a task request, read from the same body, then go through
// the operation table, which must give a whole command line for one of the
// three tools or a refusal.
//
// The lookup and the table are the task runner's own, not exported: the
// runner's source is compiled into this target (and its object is not
// linked from the library). No job is ever started here.
#include "panel/tasks.cpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "panel/tasks.h"

namespace harness {

void check(bool condition) {
    if (!condition) std::abort();
}

constexpr const char *fields[] = {"operation", "action", "name", "a"};

// The value of the first pair naming field, or no value.
bool expected_value(std::string_view body, std::string_view field, std::string_view *value) {
    while (!body.empty()) {
        size_t end = body.find('&');
        std::string_view pair = body.substr(0, end);
        if (pair.size() > field.size() && pair.starts_with(field) && pair[field.size()] == '=') {
            *value = pair.substr(field.size() + 1);
            return true;
        }
        if (end == std::string_view::npos) break;
        body.remove_prefix(end + 1);
    }
    return false;
}

// The operation table over the fields of body, read as serve_run reads them.
void check_command_line(const char *body) {
    char operation[operation_size], action[action_size], name[name_size];
    form(body, "operation", operation, sizeof operation);
    form(body, "action", action, sizeof action);
    form(body, "name", name, sizeof name);
    const char *argv[argument_slots];
    const char *refusal = command_line(operation, action, name, argv);
    if (refusal) {
        check(std::string_view(refusal).ends_with("\n"));
        return;
    }
    check(argv[0] == service_tool || argv[0] == setup_tool || argv[0] == ip_tool);
    size_t count = 1;
    while (count < argument_slots && argv[count]) count++;
    check(count <= 4);
    for (size_t i = count; i < argument_slots; i++) check(argv[i] == nullptr);
    for (size_t i = 1; i < count; i++) check(argv[i][0] != '\0');
}

}  // namespace harness

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace harness;
    if (size < 2) return 0;
    const char *field = fields[data[0] % std::size(fields)];
    const size_t capacity = data[1] % 80;
    std::string body(reinterpret_cast<const char *>(data + 2), size - 2);
    // Exactly the destination's size, so that a write past it is caught.
    std::unique_ptr<char[]> out(new char[capacity ? capacity : 1]);
    memset(out.get(), 'x', capacity ? capacity : 1);
    int found = form(body.c_str(), field, out.get(), capacity);

    std::string_view value;
    bool named = expected_value(body.c_str(), field, &value);
    if (named && value.size() < capacity) {
        check(found == 1 && std::string_view(out.get()) == value);
    } else {
        check(found == 0);
        if (capacity > 0) check(out[0] == '\0');
    }
    check_command_line(body.c_str());
    return 0;
}
