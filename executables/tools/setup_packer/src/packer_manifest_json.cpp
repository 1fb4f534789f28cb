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

// The events of the parser, noting what the manifest's checks need: whether the top level is an
// object, its keys, whether "attachments" holds an array, the entries of that array, the first
// key that one object holds twice (which a document would pass over by keeping the last value)
// and the parser's own error.
class ManifestReader : public nlohmann::json_sax<json> {
public:
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
        version_info_ = ManifestEntry{start == Start::object, {}};
        return start == Start::object ? Role::version_info : Role::other;
    }
    bool value(ManifestValue scalar) {
        place(Start::scalar, std::move(scalar));
        return true;
    }
    bool open(bool object) {
        const Role role = place(object ? Start::object : Start::array, {});
        open_.push_back({role, object, {}, {}, 0});
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }
    std::string where() const {
        if (open_.size() == 3 && !open_[1].object)
            return "attachment " + std::to_string(open_[1].objects) + ": ";
        if (open_.back().role == Role::version_info)
            return "in \"version_info\": ";
        return open_.size() == 1 ? "at the top level: " : "in a nested object: ";
    }

    std::vector<Container> open_;
    bool top_is_object_ = false;
    bool attachments_are_array_ = false;
    std::optional<std::string> unknown_top_key_;  // the first in the order of the keys
    std::string duplicate_;
    std::string error_;
    std::vector<ManifestEntry> entries_;
    std::optional<ManifestValue> icon_;
    std::optional<ManifestEntry> version_info_;  // "object" false when it is no object
};

bool ManifestReader::key(string_t& key) {
    Container& container = open_.back();
    if (!container.keys.add(key) && duplicate_.empty())
        duplicate_ = where() + "the key \"" + key + "\" appears twice";
    if (container.role == Role::top && key != "attachments" && key != "icon" &&
        key != "version_info" && (!unknown_top_key_ || key < *unknown_top_key_)) {
        unknown_top_key_ = key;
    }
    container.key = key;
    return true;
}

bool ManifestReader::parse_error(std::size_t, const std::string&,
                                 const nlohmann::detail::exception& error) {
    // The library's texts begin with its own tag, such as "[json.exception.parse_error.101] ".
    std::string message = error.what();
    message.erase(0, message.find("] ") != std::string::npos ? message.find("] ") + 2 : 0);
    error_ = (error.id == 406 ? "a number is out of range: " : "not valid JSON: ") + message;
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
            return attachments_are_array_ ? Role::entries : Role::other;
        case Role::entries:
            entries_.push_back({start == Start::object, {}});
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
        document.problem = error_;
    } else if (!duplicate_.empty()) {
        document.problem = duplicate_;
    } else if (!top_is_object_) {
        document.problem = "the top level must be an object";
    } else if (unknown_top_key_) {
        document.problem = "unknown key '" + *unknown_top_key_ + "' at the top level";
    } else if (!attachments_are_array_) {
        document.problem = "\"attachments\" must be an array";
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
    ManifestReader reader;
    json::sax_parse(json_text, &reader);
    return reader.finish();
}
