// The JSON text of a manifest, read in one pass of the library's event parser into the entries of
// its "attachments" array. No document is built: a manifest of ten thousand files would cost
// more to build and free as a document than all else that the packer does with it.
#include <nlohmann/json.hpp>
#include <set>

#include "packer_internal.h"

using nlohmann::json;

namespace {

// The keys one object holds so far. Objects have a handful of keys, compared in a list; one that
// has many keeps them in a set.
class SeenKeys {
public:
    // False when the object holds `key` already.
    bool add(const std::string& key) {
        if (!many_.empty())
            return many_.insert(key).second;
        if (std::find(few_.begin(), few_.end(), key) != few_.end())
            return false;
        few_.push_back(key);
        if (few_.size() > few_limit) {
            many_.insert(few_.begin(), few_.end());
            few_.clear();
        }
        return true;
    }

private:
    static constexpr std::size_t few_limit = 16;
    std::vector<std::string> few_;
    std::set<std::string> many_;
};

// Hands the text to the parser byte by byte and counts the bytes it has taken, so that its
// events can tell where they are: the parser reads no further than the end of the token that an
// event reports (a number: one byte further).
class CountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator(const char* at, std::size_t* taken) : at_(at), taken_(taken) {}
    reference operator*() const { return *at_; }
    CountingIterator& operator++() {
        ++at_;
        ++*taken_;
        return *this;
    }
    bool operator==(const CountingIterator& other) const { return at_ == other.at_; }
    bool operator!=(const CountingIterator& other) const { return at_ != other.at_; }

private:
    const char* at_;
    std::size_t* taken_;
};

// The events of the parser, noting what the manifest's checks need: whether the top level is an
// object, its keys, whether "attachments" holds an array, the entries of that array, the first
// key that one object holds twice (which a document would pass over by keeping the last value)
// and the parser's own error.
class ManifestReader : public nlohmann::json_sax<json> {
public:
    explicit ManifestReader(std::string_view text) : text_(text) {}
    std::size_t* taken() { return &taken_; }

    bool null() override { return value({}); }
    bool boolean(bool flag) override { return value({ManifestValue::Kind::boolean, {}, flag, 0}); }
    bool number_integer(number_integer_t) override { return value({}); }
    bool number_unsigned(number_unsigned_t number) override {
        return value({ManifestValue::Kind::unsigned_number, {}, false, number});
    }
    bool number_float(number_float_t, const string_t&) override { return value({}); }
    bool string(string_t& text) override {
        return value({ManifestValue::Kind::string, text, false, 0});
    }
    bool binary(binary_t&) override { return value({}); }
    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& key) override;
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override;

    // The entries, or the first problem of the text, in the order the checks have always been
    // made: the parser's error, a key twice, the top level, "attachments".
    ManifestDocument finish();

private:
    // What a container is to the manifest.
    enum class Role { other, top, entries, entry, version_info };
    enum class Start { object, array, scalar };
    struct Container {
        Role role;
        bool object;
        SeenKeys keys;
        std::string key;          // an object's latest key
        std::size_t objects = 0;  // objects opened in it so far
    };

    Role place(Start start, ManifestValue scalar);
    // The top level's "icon" and "version_info": a value, and an object of values.
    Role place_branding(const std::string& key, Start start, ManifestValue scalar) {
        if (key == "icon") {
            icon_ = std::move(scalar);
            return Role::other;
        }
        version_info_ = ManifestEntry{start == Start::object, value_start(), {}};
        return start == Start::object ? Role::version_info : Role::other;
    }
    bool value(ManifestValue scalar) {
        place(Start::scalar, std::move(scalar));
        return taken_now();
    }
    bool open(bool object) {
        const Role role = place(object ? Start::object : Start::array, {});
        open_.push_back({role, object, {}, {}, 0});
        return taken_now();
    }
    bool close() {
        open_.pop_back();
        return taken_now();
    }
    // Notes that the tokens up to here are read; the next value begins after them.
    bool taken_now() {
        read_ = taken_;
        return true;
    }
    // Where the value that an event reports begins: after the tokens read before it, and after the
    // separators and blanks that follow them.
    std::size_t value_start() const {
        const std::size_t start = text_.find_first_not_of(" \t\r\n,:", read_);
        return start != std::string_view::npos ? start : text_.size();
    }
    std::string where() const {
        if (open_.size() == 3 && !open_[1].object)
            return "attachment " + std::to_string(open_[1].objects) + ": ";
        if (open_.back().role == Role::version_info)
            return "in \"version_info\": ";
        return open_.size() == 1 ? "at the top level: " : "in a nested object: ";
    }

    std::string_view text_;
    std::size_t taken_ = 0;  // bytes the parser has taken
    std::size_t read_ = 0;   // bytes up to the end of the last token an event reported
    std::vector<Container> open_;
    bool top_is_object_ = false;
    bool attachments_are_array_ = false;
    std::optional<std::size_t> attachments_at_;
    std::optional<std::string> unknown_top_key_;  // the first in the order of the keys
    std::size_t unknown_top_key_at_ = 0;
    std::string duplicate_;
    std::size_t duplicate_at_ = 0;
    std::string error_;
    std::vector<ManifestEntry> entries_;
    std::optional<ManifestValue> icon_;
    std::optional<ManifestEntry> version_info_;  // "object" false when it is no object
};

bool ManifestReader::key(string_t& key) {
    Container& container = open_.back();
    // An entry is named by where it begins, any other object's key by where the key does.
    const std::size_t at = value_start();
    if (!container.keys.add(key) && duplicate_.empty()) {
        duplicate_ = where() + "the key \"" + terminal_text(key) + "\" appears twice";
        duplicate_at_ = container.role == Role::entry ? entries_.back().offset : at;
    }
    if (container.role == Role::top && key != "attachments" && key != "icon" &&
        key != "version_info" && (!unknown_top_key_ || key < *unknown_top_key_)) {
        unknown_top_key_ = key;
        unknown_top_key_at_ = at;
    }
    container.key = key;
    return taken_now();
}

bool ManifestReader::parse_error(std::size_t, const std::string&,
                                 const nlohmann::detail::exception& error) {
    // The library's texts begin with its own tag, such as "[json.exception.parse_error.101] ".
    std::string message = error.what();
    message.erase(0, message.find("] ") != std::string::npos ? message.find("] ") + 2 : 0);
    // The text it quotes may hold any byte of the manifest.
    error_ = (error.id == 406 ? "a number is out of range: " : "not valid JSON: ") +
             terminal_text(message);
    return false;
}

// Notes a value that starts now where the manifest's checks look for it: as the top level, as
// the value of "attachments", as an entry or as a field of an entry (a container as a value of
// no kind the checks take). The role of a container that it opens.
ManifestReader::Role ManifestReader::place(Start start, ManifestValue scalar) {
    if (open_.empty()) {
        top_is_object_ = start == Start::object;
        return top_is_object_ ? Role::top : Role::other;
    }
    Container& parent = open_.back();
    if (start == Start::object)
        ++parent.objects;
    switch (parent.role) {
        case Role::top:
            if (parent.key == "icon" || parent.key == "version_info")
                return place_branding(parent.key, start, std::move(scalar));
            if (parent.key != "attachments")
                return Role::other;
            attachments_are_array_ = start == Start::array;
            attachments_at_ = value_start();
            return attachments_are_array_ ? Role::entries : Role::other;
        case Role::entries:
            entries_.push_back({start == Start::object, value_start(), {}});
            return start == Start::object ? Role::entry : Role::other;
        case Role::entry:
            entries_.back().fields.emplace_back(parent.key, std::move(scalar));
            return Role::other;
        case Role::version_info:
            version_info_->fields.emplace_back(parent.key, std::move(scalar));
            return Role::other;
        case Role::other:
            break;
    }
    return Role::other;
}

ManifestDocument ManifestReader::finish() {
    ManifestDocument document;
    if (!error_.empty()) {
        document.problem = error_;  // the parser's text says where
    } else if (!duplicate_.empty()) {
        document.problem = duplicate_;
        document.problem_at = duplicate_at_;
    } else if (!top_is_object_) {
        document.problem = "the top level must be an object";
    } else if (unknown_top_key_) {
        document.problem =
            "unknown key '" + terminal_text(*unknown_top_key_) + "' at the top level";
        document.problem_at = unknown_top_key_at_;
    } else if (!attachments_are_array_) {
        document.problem = "\"attachments\" must be an array";
        document.problem_at = attachments_at_;
    } else {
        document.entries = std::move(entries_);
        document.icon = std::move(icon_);
        document.version_info = std::move(version_info_);
    }
    return document;
}

}  // namespace

const ManifestValue* ManifestEntry::find(std::string_view key) const {
    for (const auto& [name, value] : fields) {
        if (name == key)
            return &value;
    }
    return nullptr;
}

ManifestDocument read_manifest_document(std::string_view json_text) {
    // The parser takes a NUL byte for the end of the text and would pass over what follows.
    if (const std::size_t nul = json_text.find('\0'); nul != std::string_view::npos) {
        ManifestDocument document;
        document.problem = "a NUL byte, which JSON text can't hold";
        document.problem_at = nul;
        return document;
    }
    ManifestReader reader(json_text);
    json::sax_parse(CountingIterator(json_text.data(), reader.taken()),
                    CountingIterator(json_text.data() + json_text.size(), reader.taken()), &reader);
    return reader.finish();
}
