// The packet rules: up to 100 records of 28 bytes, laid out exactly as the
// device receives them, plus the lookups and the display of the drules command.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Rule kinds (command codes shared with the rule commands), the byte a
// record's kind holds. Every switch over a kind names each of them and has no
// default, so the compiler points at each one a new kind must be added to.
enum rule_kind : uint8_t {
    RULE_KIND_IMPLICIT = 36,  // never stored in a record
    RULE_KIND_DESTIN = 37,
    RULE_KIND_SOURCE = 38,
    RULE_KIND_CIRCLE = 39,
    RULE_KIND_COMPASS = 40,
    RULE_KIND_RECTANGLE = 41,
    RULE_KIND_SECTOR = 42,
};

// flags: action in the low four bits, modifiers in the high four.
constexpr uint8_t RULE_DROP = 0x04;
constexpr uint8_t RULE_PASS = 0x08;
constexpr uint8_t RULE_PREFIX = 0x10;
constexpr uint8_t RULE_ANY = 0x20;
constexpr uint8_t RULE_SSID = 0x40;

constexpr int RULE_MAX = 100;

// Four value slots of 6 bytes whose contents depend on the kind; the floats at
// offsets 6 and 18 are unaligned, so values go in and out through memcpy
// (rule_set_f32, and its reading counterpart in the display), never through a
// typed pointer.
#pragma pack(push, 1)
struct rule_entry {
    uint8_t slot[24];  // value slots at offsets 0, 6, 12 and 18
    uint8_t kind;      // 24
    uint8_t flags;     // 25
    uint16_t line;     // 26: line of the rule in its file
};
#pragma pack(pop)

static_assert(sizeof(rule_entry) == 28, "a rule record is 28 bytes");
static_assert(offsetof(rule_entry, slot) == 0);
static_assert(offsetof(rule_entry, kind) == 24);
static_assert(offsetof(rule_entry, flags) == 25);
static_assert(offsetof(rule_entry, line) == 26);

// Byte offsets of the values inside a record.
constexpr size_t RULE_OFF_CALL = 0;       // destin/source: RULE_CALL_MAX characters
constexpr size_t RULE_OFF_SSID = 6;       // destin/source: 1 byte
constexpr size_t RULE_OFF_RADIUS = 0;     // circle
constexpr size_t RULE_OFF_DIRECTION = 0;  // compass: 1 byte, 1 to 8
constexpr size_t RULE_OFF_LAT = 6;        // circle, compass
constexpr size_t RULE_OFF_LON = 12;       // circle, compass
constexpr size_t RULE_OFF_LAT1 = 0;       // rectangle
constexpr size_t RULE_OFF_LON1 = 6;
constexpr size_t RULE_OFF_LAT2 = 12;
constexpr size_t RULE_OFF_LON2 = 18;
constexpr size_t RULE_OFF_ANGLE1 = 0;     // sector
constexpr size_t RULE_OFF_ANGLE2 = 6;
constexpr size_t RULE_OFF_INNER = 12;
constexpr size_t RULE_OFF_OUTER = 18;

// The characters of a call, NUL-padded; a call of all 6 has no terminator.
constexpr int RULE_CALL_MAX = 6;

void rule_set_f32(rule_entry& rule, size_t offset, float value);

extern std::array<rule_entry, RULE_MAX> rule_table;
static_assert(sizeof(rule_table) == 2800, "the rule block is 2800 bytes");
// Set once a rules file has been read to its end without error.
extern bool rules_processed;

// A rule command word and the kind of rule it writes.
struct rule_command {
    const char* word;
    rule_kind kind;
};
extern const std::array<rule_command, 9> rule_command_table;
extern const std::array<const char*, 9> compass_names;

// The command word of the first table entry with this kind code, or "?".
const char* rule_kind_name(int kind);
// Prints the rule set for the drules command.
void rules_display();
