// A message between the tool and its worker processes: named fields, each a
// number or a text of any length (a whole model file fits), so that what a
// worker sends is read by name, never by position. Numbers travel as their
// bits, so that a result computed in a worker is the one computed here.
#ifndef QUORV_CLI_MESSAGE_H
#define QUORV_CLI_MESSAGE_H

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace cli {

class Message {
public:
    void set(const std::string &name, double value);
    void set_text(const std::string &name, std::string text);

    bool has(const std::string &name) const { return fields_.count(name) != 0; }
    // The field's value; throws cli::Error naming the field when it is
    // missing or of the other kind.
    double number(const std::string &name) const;
    const std::string &text(const std::string &name) const;

    // The bytes that carry the message, and back. decode throws cli::Error
    // for bytes that are not a whole message.
    std::string encode() const;
    static Message decode(std::string_view bytes);

    bool operator==(const Message &other) const { return fields_ == other.fields_; }

    // Larger messages are refused on both sides.
    static constexpr size_t kMaxBytes = size_t{1} << 31;

private:
    struct Field {
        bool is_text = false;
        double number = 0;
        std::string text;
        bool operator==(const Field &o) const;
    };
    const Field &field(const std::string &name, bool is_text) const;
    std::map<std::string, Field> fields_;
};

}  // namespace cli

#endif
