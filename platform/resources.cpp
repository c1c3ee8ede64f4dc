#include "platform/resources.h"
#include "platform/big_endian.h"

#include "platform/dialogs.h"
#include "platform/log.h"
#include "platform/memory.h"

#include <qorvanta/status.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr ResType kStringType = fourCharCode("STR ");
constexpr ResType kEntryNameType = fourCharCode("dlle");
constexpr ResType kComponentType = fourCharCode("thng");
constexpr ResType kItemListType = fourCharCode("DITL");
// Five description words and four resource references of six bytes.
constexpr size_t kThngSize = 5 * 4 + 4 * 6;

struct Resource {
    ResType type;
    int16_t id;
    std::vector<char> bytes;
    // The handle GetResource gave out and the Resource Manager still owns; null when not loaded.
    Handle loaded = nullptr;
};

struct ResourceFile {
    int16_t refNum;
    std::string path;
    std::vector<Resource> resources;
    std::shared_ptr<const std::string> text; // what it was read from, for OpenComponentResFile
};

// The file each component was registered from, with its description to tell a registration
// that is gone from a later one at the same address.
struct ComponentSource {
    ComponentDescription description{};
    std::string path;
    std::shared_ptr<const std::string> text;
};

// Resource files are shared by the whole process, as on the platform.
struct ResourceManager {
    std::mutex lock;
    std::vector<std::unique_ptr<ResourceFile>> files; // in the order they were opened
    int16_t current = 0;
    int16_t lastRefNum = 0;
    std::map<Component, ComponentSource> componentSources;
};

ResourceManager &manager() {
    static ResourceManager m;
    return m;
}

std::atomic<OSErr> gResError{noErr};

void setResError(OSErr err) {
    gResError.store(err, std::memory_order_relaxed);
}

ResourceFile *findFile(int16_t refNum) {
    for (auto &file : manager().files)
        if (file->refNum == refNum) return file.get();
    return nullptr;
}

Resource *findLoaded(Handle h) {
    if (!h) return nullptr;
    for (auto &file : manager().files)
        for (Resource &resource : file->resources)
            if (resource.loaded == h) return &resource;
    return nullptr;
}

int16_t nextRefNum() {
    ResourceManager &m = manager();
    for (int tries = 0; tries < 0x7FFF; ++tries) {
        m.lastRefNum = int16_t(m.lastRefNum >= 0x7FFF ? 1 : m.lastRefNum + 1);
        if (!findFile(m.lastRefNum)) return m.lastRefNum;
    }
    return -1;
}

// ---- Reading the text form ------------------------------------------------------------------

struct Token {
    enum Kind { word, string, code } kind;
    std::string text;
};

using qor::platform::putU16;
using qor::platform::putU32;
using qor::platform::putU8;

OSType codeOf(const std::string &text) {
    return uint32_t(uint8_t(text[0])) << 24 | uint32_t(uint8_t(text[1])) << 16 |
           uint32_t(uint8_t(text[2])) << 8 | uint32_t(uint8_t(text[3]));
}

// The parser never lets it escape: openResourceFile reports it as mapReadErr, with the line.
struct ParseError {
    int line;
    std::string message;
};

// The line being read, for messages.
thread_local int tLine = 0;

[[noreturn]] void fail(const std::string &message) {
    throw ParseError{tLine, message};
}

std::vector<Token> tokenize(const std::string &line) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '"') {
            std::string text;
            ++i;
            for (;;) {
                if (i >= line.size()) fail("unterminated string");
                char d = line[i++];
                if (d == '"') break;
                if (d == '\\') {
                    if (i >= line.size()) fail("unterminated string");
                    d = line[i++];
                    if (d != '"' && d != '\\') fail("unknown escape in string");
                }
                text += d;
            }
            tokens.push_back({Token::string, text});
        } else if (c == '\'') {
            if (i + 5 >= line.size() || line[i + 5] != '\'')
                fail("a four-character code is written as 'abcd'");
            tokens.push_back({Token::code, line.substr(i + 1, 4)});
            i += 6;
        } else {
            size_t end = line.find_first_of(" \t\r\"'|", i);
            if (end == i) { // a lone '|' joining flags
                tokens.push_back({Token::word, "|"});
                ++i;
                continue;
            }
            if (end == std::string::npos) end = line.size();
            tokens.push_back({Token::word, line.substr(i, end - i)});
            i = end;
        }
    }
    return tokens;
}

long long numberOf(const Token &token, long long low, long long high, const char *what) {
    if (token.kind != Token::word) fail(std::string("expected a number for ") + what);
    errno = 0;
    char *end = nullptr;
    long long value = std::strtoll(token.text.c_str(), &end, 0);
    if (errno || !end || *end || token.text.empty())
        fail(std::string("\"") + token.text + "\" is not a number (" + what + ")");
    if (value < low || value > high) fail(std::string(what) + " out of range: " + token.text);
    return value;
}

OSType codeToken(const Token &token, const char *what) {
    if (token.kind != Token::code) fail(std::string("expected a code like 'abcd' for ") + what);
    return codeOf(token.text);
}

// Flags: numbers and flag names joined with '|'.
uint32_t flagsOf(const std::vector<Token> &tokens, size_t first) {
    static const std::map<std::string, uint32_t> names{
        {"cmpWantsRegisterMessage", cmpWantsRegisterMessage}};
    uint32_t flags = 0;
    bool wantTerm = true;
    for (size_t i = first; i < tokens.size(); ++i) {
        const Token &token = tokens[i];
        if (!wantTerm) {
            if (token.kind != Token::word || token.text != "|") fail("flags are joined with |");
        } else if (auto it = names.find(token.text);
                   token.kind == Token::word && it != names.end()) {
            flags |= it->second;
        } else {
            flags |= uint32_t(numberOf(token, 0, 0xFFFFFFFFll, "flags"));
        }
        wantTerm = !wantTerm;
    }
    if (wantTerm) fail("flags are missing or end in |");
    return flags;
}

struct Line {
    int number;
    std::vector<Token> tokens;
};

std::vector<char> hexBody(const std::vector<Line> &body) {
    std::vector<char> bytes;
    for (const Line &line : body) {
        tLine = line.number;
        if (line.tokens[0].kind != Token::word || line.tokens[0].text != "hex")
            fail("expected a hex line");
        for (size_t i = 1; i < line.tokens.size(); ++i) {
            const Token &token = line.tokens[i];
            if (token.kind != Token::word || token.text.size() != 2 ||
                token.text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                fail("hex bytes are two hexadecimal digits each");
            bytes.push_back(char(std::strtoul(token.text.c_str(), nullptr, 16)));
        }
    }
    return bytes;
}

const std::string &onlyString(const std::vector<Line> &body, const char *what) {
    if (!body.empty()) tLine = body[0].number;
    if (body.size() != 1 || body[0].tokens.size() != 1 || body[0].tokens[0].kind != Token::string)
        fail(std::string("a ") + what + " holds one quoted string");
    return body[0].tokens[0].text;
}

std::vector<char> stringBody(const std::vector<Line> &body) {
    const std::string &text = onlyString(body, "'STR '");
    if (text.size() > 255) fail("a string holds at most 255 characters");
    std::vector<char> bytes(text.size() + 1);
    bytes[0] = char(uint8_t(text.size()));
    std::copy(text.begin(), text.end(), bytes.begin() + 1);
    return bytes;
}

std::vector<char> entryNameBody(const std::vector<Line> &body) {
    const std::string &text = onlyString(body, "'dlle'");
    if (text.empty() || text.find('\0') != std::string::npos) fail("an entry point needs a name");
    std::vector<char> bytes(text.begin(), text.end());
    bytes.push_back('\0');
    return bytes;
}

std::vector<char> componentBody(const std::vector<Line> &body, int headerLine) {
    std::map<std::string, uint32_t> words;
    std::map<std::string, std::pair<OSType, int16_t>> references;
    for (const Line &line : body) {
        tLine = line.number;
        const auto &t = line.tokens;
        const std::string &key = t[0].text;
        if (t[0].kind != Token::word) fail("expected a 'thng' field name");
        if (words.count(key) || references.count(key)) fail("field " + key + " given twice");
        if (key == "type" || key == "subtype" || key == "manufacturer") {
            if (t.size() != 2) fail(key + " takes one code");
            words[key] = codeToken(t[1], key.c_str());
        } else if (key == "flags" || key == "mask") {
            words[key] = flagsOf(t, 1);
        } else if (key == "code" || key == "name" || key == "info" || key == "icon") {
            if (t.size() != 3) fail(key + " takes a resource type and id");
            references[key] = {codeToken(t[1], key.c_str()),
                               int16_t(numberOf(t[2], -32768, 32767, "resource id"))};
        } else {
            fail("unknown 'thng' field " + key);
        }
    }
    tLine = headerLine;
    for (const char *required : {"type", "subtype", "manufacturer"})
        if (!words.count(required)) fail(std::string("'thng' lacks ") + required);
    if (!references.count("code")) fail("'thng' lacks code");
    std::vector<char> bytes;
    for (const char *key : {"type", "subtype", "manufacturer", "flags", "mask"})
        putU32(bytes, words.count(key) ? words[key] : 0);
    for (const char *key : {"code", "name", "info", "icon"}) {
        auto ref = references.count(key) ? references[key] : std::pair<OSType, int16_t>{0, 0};
        putU32(bytes, ref.first);
        putU16(bytes, uint16_t(ref.second));
    }
    return bytes;
}

qor::platform::DialogItemDescription itemOf(const Line &line, size_t expectedNumber) {
    using qor::platform::ControlKind;
    static const std::map<std::string, ControlKind> kinds{
        {"button", ControlKind::pushButton}, {"checkbox", ControlKind::checkBox},
        {"radio", ControlKind::radioButton}, {"text", ControlKind::staticText},
        {"popup", ControlKind::popupMenu},   {"slider", ControlKind::slider}};
    const auto &t = line.tokens;
    if (t.size() < 8 || t[0].kind != Token::word || t[0].text != "item")
        fail("an item is: item N KIND TOP LEFT BOTTOM RIGHT \"title\" ...");
    if (numberOf(t[1], 1, 32767, "item number") != (long long)expectedNumber)
        fail("items are numbered 1, 2, 3 ... in order; expected " + std::to_string(expectedNumber));
    auto kind = kinds.find(t[2].text);
    if (t[2].kind != Token::word || kind == kinds.end()) fail("unknown item kind " + t[2].text);
    qor::platform::DialogItemDescription item;
    item.kind = kind->second;
    item.bounds.top = int16_t(numberOf(t[3], -32768, 32767, "top"));
    item.bounds.left = int16_t(numberOf(t[4], -32768, 32767, "left"));
    item.bounds.bottom = int16_t(numberOf(t[5], -32768, 32767, "bottom"));
    item.bounds.right = int16_t(numberOf(t[6], -32768, 32767, "right"));
    if (item.bounds.bottom < item.bounds.top || item.bounds.right < item.bounds.left)
        fail("an item's bottom and right lie below and right of its top and left");
    if (t[7].kind != Token::string) fail("an item's title is a quoted string");
    item.title = t[7].text;

    // Defaults by kind: check boxes and radios are 0..1, popups pick an item from 1.
    std::optional<long long> value, minimum, maximum;
    for (size_t i = 8; i < t.size(); ++i) {
        const std::string &key = t[i].text;
        if (t[i].kind != Token::word) fail("unexpected \"" + key + "\" in an item");
        auto number = [&](const char *what) {
            if (++i >= t.size()) fail(std::string(what) + " needs a number");
            return numberOf(t[i], INT32_MIN, INT32_MAX, what);
        };
        if (key == "value") {
            value = number("value");
        } else if (key == "min") {
            minimum = number("min");
        } else if (key == "max") {
            maximum = number("max");
        } else if (key == "live") {
            if (item.kind != ControlKind::slider) fail("only sliders track live");
            item.live = true;
        } else if (key == "disabled") {
            item.disabled = true;
        } else if (key == "menu") {
            if (item.kind != ControlKind::popupMenu) fail("only popups have a menu");
            while (i + 1 < t.size() && t[i + 1].kind == Token::string)
                item.menu.push_back(t[++i].text);
            if (item.menu.empty()) fail("a menu lists its items as quoted strings");
        } else {
            fail("unknown item attribute " + key);
        }
    }
    long long defaultMax = 0, defaultMin = 0;
    switch (item.kind) {
    case ControlKind::checkBox:
    case ControlKind::radioButton:
        defaultMax = 1;
        break;
    case ControlKind::popupMenu:
        defaultMin = 1;
        defaultMax = std::max<long long>(1, (long long)item.menu.size());
        break;
    case ControlKind::slider:
        defaultMax = 100;
        break;
    default:
        break;
    }
    item.minimum = SInt32(minimum.value_or(defaultMin));
    item.maximum = SInt32(maximum.value_or(defaultMax));
    item.value = SInt32(value.value_or(item.minimum));
    if (item.minimum > item.maximum) fail("an item's min lies above its max");
    if (item.value < item.minimum || item.value > item.maximum)
        fail("an item's value lies outside min..max");
    return item;
}

std::vector<char> itemListBody(const std::vector<Line> &body, int headerLine) {
    std::vector<qor::platform::DialogItemDescription> items;
    for (const Line &line : body) {
        tLine = line.number;
        items.push_back(itemOf(line, items.size() + 1));
    }
    tLine = headerLine;
    std::vector<char> bytes;
    if (!qor::platform::encodeItemList(items, &bytes))
        fail("the item list cannot be stored (empty, or a title or menu longer than 255)");
    return bytes;
}

std::vector<char> bodyBytes(ResType type, const std::vector<Line> &body, int headerLine) {
    bool hex =
        !body.empty() && body[0].tokens[0].kind == Token::word && body[0].tokens[0].text == "hex";
    if (hex) return hexBody(body);
    switch (type) {
    case kStringType:
        return stringBody(body);
    case kEntryNameType:
        return entryNameBody(body);
    case kComponentType:
        return componentBody(body, headerLine);
    case kItemListType:
        return itemListBody(body, headerLine);
    default:
        if (!body.empty()) fail("resources of this type are given as hex lines");
        return {};
    }
}

std::vector<Resource> parse(const std::string &text) {
    std::vector<Resource> resources;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    std::optional<Line> header;
    std::vector<Line> body;
    while (std::getline(in, raw)) {
        tLine = ++number;
        size_t start = raw.find_first_not_of(" \t\r");
        if (start == std::string::npos || raw[start] == '#') continue;
        Line line{number, tokenize(raw)};
        const Token &first = line.tokens[0];
        bool keyword = first.kind == Token::word;
        if (!header) {
            if (!keyword || first.text != "resource" || line.tokens.size() != 3)
                fail("expected: resource 'TYPE' ID");
            ResType type = codeToken(line.tokens[1], "the resource type");
            auto id = int16_t(numberOf(line.tokens[2], -32768, 32767, "resource id"));
            for (const Resource &r : resources)
                if (r.type == type && r.id == id) fail("resource given twice");
            header = line;
            body.clear();
        } else if (keyword && first.text == "end" && line.tokens.size() == 1) {
            tLine = header->number;
            ResType type = codeOf(header->tokens[1].text);
            auto id = int16_t(std::strtol(header->tokens[2].text.c_str(), nullptr, 0));
            resources.push_back({type, id, bodyBytes(type, body, header->number)});
            header.reset();
        } else {
            body.push_back(std::move(line));
        }
    }
    if (header) {
        tLine = header->number;
        fail("resource without end");
    }
    return resources;
}

int16_t openParsed(std::shared_ptr<const std::string> source, const std::string &name,
                   bool makeCurrent) {
    const std::string &text = *source;
    std::vector<Resource> resources;
    try {
        resources = parse(text);
    } catch (ParseError &error) {
        qor::platform::log(qor::platform::LogLevel::Error, "openResourceFile: %s:%d: %s",
                           name.c_str(), error.line, error.message.c_str());
        setResError(mapReadErr);
        return -1;
    }
    std::lock_guard guard(manager().lock);
    int16_t refNum = nextRefNum();
    if (refNum < 0) {
        setResError(memFullErr);
        return -1;
    }
    manager().files.push_back(std::make_unique<ResourceFile>(
        ResourceFile{refNum, name, std::move(resources), std::move(source)}));
    if (makeCurrent) manager().current = refNum;
    setResError(noErr);
    return refNum;
}

// ---- Component registration -----------------------------------------------------------------

std::mutex gEntryLock;
std::map<std::string, ComponentRoutineUPP> &entryPoints() {
    static std::map<std::string, ComponentRoutineUPP> table;
    return table;
}

uint32_t readU32(const std::vector<char> &b, size_t at) {
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 |
           uint32_t(uint8_t(b[at + 2])) << 8 | uint32_t(uint8_t(b[at + 3]));
}
int16_t readI16(const std::vector<char> &b, size_t at) {
    return int16_t(uint16_t(uint8_t(b[at]) << 8 | uint8_t(b[at + 1])));
}

// What one 'thng' needs, copied out of the file so that registration runs without the lock:
// a component's register request may itself use resources.
struct ComponentToRegister {
    int16_t id;
    ComponentDescription description;
    std::optional<std::vector<char>> entryName, name, info;
    bool hasName, hasInfo;
};

const std::vector<char> *resourceBytes(const ResourceFile &file, ResType type, int16_t id) {
    for (const Resource &r : file.resources)
        if (r.type == type && r.id == id) return &r.bytes;
    return nullptr;
}

Handle pascalHandle(const std::vector<char> &bytes) {
    Handle h = NewHandle(Size(bytes.size()));
    if (h && !bytes.empty()) std::copy(bytes.begin(), bytes.end(), *h);
    return h;
}

} // namespace

int16_t CurResFile() {
    std::lock_guard guard(manager().lock);
    setResError(noErr);
    return manager().current;
}

void UseResFile(int16_t refNum) {
    std::lock_guard guard(manager().lock);
    if (!findFile(refNum)) {
        setResError(resFNotFound);
        return;
    }
    manager().current = refNum;
    setResError(noErr);
}

void CloseResFile(int16_t refNum) {
    std::lock_guard guard(manager().lock);
    auto &files = manager().files;
    auto it =
        std::find_if(files.begin(), files.end(), [refNum](auto &f) { return f->refNum == refNum; });
    if (it == files.end()) {
        setResError(resFNotFound);
        return;
    }
    for (Resource &resource : (*it)->resources) {
        if (resource.loaded) {
            DisposeHandle(resource.loaded);
            resource.loaded = nullptr;
        }
    }
    files.erase(it);
    if (manager().current == refNum) manager().current = files.empty() ? 0 : files.back()->refNum;
    setResError(noErr);
}

Handle GetResource(ResType theType, int16_t theID) {
    std::lock_guard guard(manager().lock);
    ResourceFile *file = findFile(manager().current);
    if (!file) {
        setResError(resFNotFound);
        return nullptr;
    }
    for (Resource &resource : file->resources) {
        if (resource.type != theType || resource.id != theID) continue;
        if (!resource.loaded) {
            Handle h = NewHandle(Size(resource.bytes.size()));
            if (!h) {
                setResError(memFullErr);
                return nullptr;
            }
            std::copy(resource.bytes.begin(), resource.bytes.end(), *h);
            resource.loaded = h;
        }
        setResError(noErr);
        return resource.loaded;
    }
    setResError(resNotFound);
    return nullptr;
}

void DetachResource(Handle theResource) {
    std::lock_guard guard(manager().lock);
    Resource *resource = findLoaded(theResource);
    if (!resource) {
        setResError(rmvResFailed);
        return;
    }
    resource->loaded = nullptr;
    setResError(noErr);
}

void ReleaseResource(Handle theResource) {
    std::lock_guard guard(manager().lock);
    Resource *resource = findLoaded(theResource);
    if (!resource) {
        setResError(rmvResFailed);
        return;
    }
    DisposeHandle(resource->loaded);
    resource->loaded = nullptr;
    setResError(noErr);
}

OSErr ResError() {
    return gResError.load(std::memory_order_relaxed);
}

long RegisterComponentResourceFile(int16_t resRefNum, int16_t global) {
    std::vector<ComponentToRegister> pending;
    std::string path;
    std::shared_ptr<const std::string> source;
    {
        std::lock_guard guard(manager().lock);
        ResourceFile *file = findFile(resRefNum);
        if (!file) {
            setResError(resFNotFound);
            return resFNotFound;
        }
        path = file->path;
        source = file->text;
        for (const Resource &r : file->resources) {
            if (r.type != kComponentType) continue;
            ComponentToRegister c{r.id, {}, {}, {}, {}, false, false};
            if (r.bytes.size() < kThngSize) {
                pending.push_back(c); // reported below as unreadable
                continue;
            }
            c.description = {readU32(r.bytes, 0), readU32(r.bytes, 4), readU32(r.bytes, 8),
                             readU32(r.bytes, 12), readU32(r.bytes, 16)};
            auto lookup = [&](size_t at, ResType expected) -> std::optional<std::vector<char>> {
                if (readU32(r.bytes, at) != expected) return std::nullopt;
                const std::vector<char> *bytes =
                    resourceBytes(*file, expected, readI16(r.bytes, at + 4));
                return bytes ? std::optional(*bytes) : std::nullopt;
            };
            c.entryName = lookup(20, kEntryNameType);
            c.hasName = readU32(r.bytes, 26) != 0;
            c.name = lookup(26, kStringType);
            c.hasInfo = readU32(r.bytes, 32) != 0;
            c.info = lookup(32, kStringType);
            pending.push_back(std::move(c));
        }
    }
    setResError(noErr);

    long registered = 0;
    for (ComponentToRegister &c : pending) {
        // An entry-point name given as hex bytes may be empty: nothing to look up.
        if (!c.entryName || c.entryName->empty() || (c.hasName && !c.name) ||
            (c.hasInfo && !c.info)) {
            qor::platform::log(qor::platform::LogLevel::Warning,
                               "RegisterComponentResourceFile: %s: 'thng' %d is incomplete or "
                               "names a missing resource",
                               path.c_str(), c.id);
            continue;
        }
        std::string entryName(c.entryName->data(),
                              strnlen(c.entryName->data(), c.entryName->size()));
        ComponentRoutineUPP entry = nullptr;
        {
            std::lock_guard guard(gEntryLock);
            auto it = entryPoints().find(entryName);
            if (it != entryPoints().end()) entry = it->second;
        }
        if (!entry) {
            qor::platform::log(qor::platform::LogLevel::Warning,
                               "RegisterComponentResourceFile: %s: 'thng' %d: no entry point named "
                               "\"%s\"",
                               path.c_str(), c.id, entryName.c_str());
            continue;
        }
        Handle name = c.name ? pascalHandle(*c.name) : nullptr;
        Handle info = c.info ? pascalHandle(*c.info) : nullptr;
        Component component = RegisterComponent(&c.description, entry, global, name, info, nullptr);
        if (component) {
            ++registered;
            std::lock_guard guard(manager().lock);
            manager().componentSources[component] = {c.description, path, source};
        }
        if (name) DisposeHandle(name);
        if (info) DisposeHandle(info);
    }
    return registered;
}

int16_t OpenComponentResFile(Component aComponent) {
    ComponentSource source;
    {
        std::lock_guard guard(manager().lock);
        auto it = manager().componentSources.find(aComponent);
        if (it != manager().componentSources.end()) source = it->second;
    }
    ComponentDescription now{};
    if (!source.text || GetComponentInfo(aComponent, &now, nullptr, nullptr, nullptr) != noErr ||
        std::memcmp(&now, &source.description, sizeof now) != 0) {
        setResError(resFNotFound);
        return -1;
    }
    return openParsed(source.text, source.path, false);
}

OSErr CloseComponentResFile(int16_t refnum) {
    CloseResFile(refnum);
    return ResError();
}

namespace qor::platform {

int16_t openResourceFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        qor::platform::log(qor::platform::LogLevel::Error, "openResourceFile: cannot open %s",
                           path.c_str());
        setResError(fnfErr);
        return -1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        qor::platform::log(qor::platform::LogLevel::Error, "openResourceFile: cannot read %s",
                           path.c_str());
        setResError(fnfErr);
        return -1;
    }
    return openParsed(std::make_shared<const std::string>(text.str()), path, true);
}

int16_t openResourceText(const std::string &text, const std::string &name) {
    return openParsed(std::make_shared<const std::string>(text), name, true);
}

void addComponentEntryPoint(const char *name, ComponentRoutineUPP entry) {
    if (!name) return;
    std::lock_guard guard(gEntryLock);
    if (entry)
        entryPoints()[name] = entry;
    else
        entryPoints().erase(name);
}

ComponentRoutineUPP componentEntryPoint(const char *name) {
    if (!name) return nullptr;
    std::lock_guard guard(gEntryLock);
    auto it = entryPoints().find(name);
    return it == entryPoints().end() ? nullptr : it->second;
}

namespace {

std::string withSlash(std::string directory) {
    if (directory.empty() || directory.back() != '/') directory += '/';
    return directory;
}

} // namespace

std::string installedDataDirectory() {
    return withSlash(QORVANTA_DATA_DIR);
}

std::string sourceResourcesDirectory() {
    return withSlash(QORVANTA_SOURCE_RESOURCES);
}

std::string chooseResourcesDirectory(const char *bundle, const std::string &installed,
                                     const std::string &source) {
    if (bundle && *bundle) return withSlash(bundle);
    struct stat info;
    if (::stat(installed.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return withSlash(installed);
    return withSlash(source);
}

std::string bundleResourcePath(const char *relative) {
    return chooseResourcesDirectory(std::getenv("QORVANTA_BUNDLE"), installedDataDirectory(),
                                    sourceResourcesDirectory()) +
           (relative ? relative : "");
}

} // namespace qor::platform
