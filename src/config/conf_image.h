// The station configuration: one 120-byte record, little-endian, laid out
// exactly as the device receives it, with a constant default copy and the live
// copy that configure fills, the rules parser updates and download sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the device images are little-endian records; a big-endian build would send them wrong"
#endif

#pragma pack(push, 1)
struct conf_image_t {
    uint32_t host_baud;              // 0
    uint32_t dstar_baud;             // 4
    uint32_t tnc_baud;               // 8
    float base_lat;                  // 12, degrees, north positive
    float base_lon;                  // 16, degrees, east positive
    char station_call[8];            // 20
    uint16_t station_ssid;           // 28
    uint16_t wide_max;               // 30
    uint16_t wide_total;             // 32
    uint16_t relay;                  // 34
    uint16_t nsr;                    // 36
    uint16_t default_baud_is_dstar;  // 38
    uint16_t dupe_window;            // 40
    uint16_t log_port;               // 42
    uint16_t halt_on_error;          // 44
    uint16_t drop_mangled;           // 46
    uint16_t fix_valid;              // 48
    uint16_t pass_no_position;       // 50
    uint16_t implicit_action;        // 52: 'p' (112) pass or 'd' (100) drop
    uint16_t rule_count;             // 54
    char digi_path[8][8];            // 56
};
#pragma pack(pop)

static_assert(sizeof(float) == 4, "f32 fields");
static_assert(sizeof(conf_image_t) == 120, "the configuration image is 120 bytes");
static_assert(offsetof(conf_image_t, host_baud) == 0);
static_assert(offsetof(conf_image_t, dstar_baud) == 4);
static_assert(offsetof(conf_image_t, tnc_baud) == 8);
static_assert(offsetof(conf_image_t, base_lat) == 12);
static_assert(offsetof(conf_image_t, base_lon) == 16);
static_assert(offsetof(conf_image_t, station_call) == 20);
static_assert(offsetof(conf_image_t, station_ssid) == 28);
static_assert(offsetof(conf_image_t, wide_max) == 30);
static_assert(offsetof(conf_image_t, wide_total) == 32);
static_assert(offsetof(conf_image_t, relay) == 34);
static_assert(offsetof(conf_image_t, nsr) == 36);
static_assert(offsetof(conf_image_t, default_baud_is_dstar) == 38);
static_assert(offsetof(conf_image_t, dupe_window) == 40);
static_assert(offsetof(conf_image_t, log_port) == 42);
static_assert(offsetof(conf_image_t, halt_on_error) == 44);
static_assert(offsetof(conf_image_t, drop_mangled) == 46);
static_assert(offsetof(conf_image_t, fix_valid) == 48);
static_assert(offsetof(conf_image_t, pass_no_position) == 50);
static_assert(offsetof(conf_image_t, implicit_action) == 52);
static_assert(offsetof(conf_image_t, rule_count) == 54);
static_assert(offsetof(conf_image_t, digi_path) == 56);

// A call sign has 1 to 6 characters; the field keeps its terminator after them.
constexpr int CONF_CALL_MAX = 6;
static_assert(CONF_CALL_MAX < sizeof(conf_image_t::station_call));
// The digi path's slots, and the characters a slot holds (a full slot has no
// terminator).
constexpr int DIGI_PATH_SLOTS = static_cast<int>(std::extent_v<decltype(conf_image_t::digi_path), 0>);
constexpr int DIGI_PATH_CHARS = static_cast<int>(std::extent_v<decltype(conf_image_t::digi_path), 1>);

constexpr uint16_t IMPLICIT_PASS = 112;  // 'p'
constexpr uint16_t IMPLICIT_DROP = 100;  // 'd'
// The word the displays show for an implicit action: "Drop", "Pass", or "?"
// for any other value.
const char* implicit_action_word(uint16_t action);

extern const conf_image_t conf_default;
extern conf_image_t conf_image;
// Components stored by the last digipath line, 0 to 8 (not part of the image).
extern int32_t digipath_count;
// Set once a configuration file has been read to its end without error.
extern int32_t conf_processed;

// Defaults into the live image, digipath_count to 0; conf_processed untouched.
void conf_reset();
// Prints the live image for the dconfigure command.
void conf_display();
// The baud used by connect when none is given: dstar_baud when
// default_baud_is_dstar is set, else host_baud.
uint32_t conf_default_connect_baud();
