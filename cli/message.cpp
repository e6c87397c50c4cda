// Encoding of worker messages: per field, the name's length and bytes, a kind
// byte, then 8 bytes of a double or a text's length and bytes. Lengths are
// little-endian 64-bit whatever the machine; both ends are the same program.
#include "message.h"

#include "error.h"

#include <cstdint>
#include <cstring>

namespace cli {

namespace {

constexpr char kNumber = 'n', kText = 't';

void put_u64(std::string *out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Reads from a view that it consumes; any shortfall is a broken message.
class Reader {
public:
    explicit Reader(std::string_view bytes) : rest_(bytes) {}
    bool done() const { return rest_.empty(); }
    std::uint64_t u64()
    {
        need(8);
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(rest_[static_cast<size_t>(i)])) << (8 * i);
        rest_.remove_prefix(8);
        return v;
    }
    std::string_view bytes(std::uint64_t n)
    {
        need(n);
        const std::string_view out = rest_.substr(0, static_cast<size_t>(n));
        rest_.remove_prefix(static_cast<size_t>(n));
        return out;
    }

private:
    void need(std::uint64_t n) const
    {
        if (n > rest_.size())
            throw Error("a worker's message is cut short");
    }
    std::string_view rest_;
};

}  // namespace

bool Message::Field::operator==(const Field &o) const
{
    // Bits, not values: a NaN result equals itself, and -0 differs from 0.
    return is_text == o.is_text && text == o.text && std::memcmp(&number, &o.number, sizeof number) == 0;
}

void Message::set(const std::string &name, double value)
{
    Field &f = fields_[name];
    f.is_text = false;
    f.number = value;
    f.text.clear();
}

void Message::set_text(const std::string &name, std::string text)
{
    Field &f = fields_[name];
    f.is_text = true;
    f.number = 0;
    f.text = std::move(text);
}

const Message::Field &Message::field(const std::string &name, bool is_text) const
{
    const auto at = fields_.find(name);
    if (at == fields_.end())
        throw Error("a worker's message has no '" + name + "'");
    if (at->second.is_text != is_text)
        throw Error("a worker's message has '" + name + "' as " + (is_text ? "a number" : "a text"));
    return at->second;
}

double Message::number(const std::string &name) const { return field(name, false).number; }

const std::string &Message::text(const std::string &name) const { return field(name, true).text; }

std::string Message::encode() const
{
    std::string out;
    for (const auto &[name, f] : fields_) {
        put_u64(&out, name.size());
        out += name;
        out.push_back(f.is_text ? kText : kNumber);
        if (f.is_text) {
            put_u64(&out, f.text.size());
            out += f.text;
        } else {
            std::uint64_t bits = 0;
            std::memcpy(&bits, &f.number, sizeof bits);
            put_u64(&out, bits);
        }
    }
    if (out.size() > kMaxBytes)
        throw Error("a worker's message of " + std::to_string(out.size()) + " bytes is too long to send");
    return out;
}

Message Message::decode(std::string_view bytes)
{
    Message m;
    Reader in(bytes);
    while (!in.done()) {
        const std::string name(in.bytes(in.u64()));
        const std::string_view kind = in.bytes(1);
        Field f;
        if (kind[0] == kText) {
            f.is_text = true;
            f.text = std::string(in.bytes(in.u64()));
        } else if (kind[0] == kNumber) {
            const std::uint64_t bits = in.u64();
            std::memcpy(&f.number, &bits, sizeof bits);
        } else {
            throw Error("a worker's message has a field of unknown kind");
        }
        if (!m.fields_.emplace(name, std::move(f)).second)
            throw Error("a worker's message has '" + name + "' twice");
    }
    return m;
}

}  // namespace cli
