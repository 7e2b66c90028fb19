#include "config/conf_image.h"

#include <cstring>

#include "console/console.h"

// The base position of a new image: 39d 45m N, 104d 52m 30c W, chosen so that
// both values are exact in single precision.
const conf_image_t conf_default = {
    57600,                                      // host_baud
    9600,                                       // dstar_baud
    19200,                                      // tnc_baud
    39.75f,                                     // base_lat
    -104.875f,                                  // base_lon
    {'n', 'o', 't', 's', 'e', 't', '\0', '\0'}, // station_call
    0,                                          // station_ssid
    3,                                          // wide_max
    6,                                          // wide_total
    1,                                          // relay
    0,                                          // nsr
    // Deliberate (dstar-default): connect's default speed is the DSTAR port's baud, not the host port's.
    1,                                          // default_baud_is_dstar
    28,                                         // dupe_window
    1,                                          // log_port
    0,                                          // halt_on_error
    1,                                          // drop_mangled
    1,                                          // fix_valid
    0,                                          // pass_no_position
    IMPLICIT_PASS,                              // implicit_action
    0,                                          // rule_count
    {},                                         // digi_path
};

conf_image_t conf_image = conf_default;
int32_t digipath_count = 0;
int32_t conf_processed = 0;

void conf_reset() {
    std::memcpy(&conf_image, &conf_default, sizeof conf_image);
    digipath_count = 0;
}

uint32_t conf_default_connect_baud() {
    return conf_image.default_baud_is_dstar != 0 ? conf_image.dstar_baud : conf_image.host_baud;
}

const char* implicit_action_word(uint16_t action) {
    if (action == IMPLICIT_DROP) return "Drop";
    if (action == IMPLICIT_PASS) return "Pass";
    return "?";
}

namespace {
const char* on_off(uint16_t flag) { return flag != 0 ? "En" : "Dis"; }
const char* yes_no(uint16_t flag) { return flag != 0 ? "Yes" : "No"; }
}  // namespace

void conf_display() {
    // The call field is terminated by the parser, but the copy keeps the
    // display bounded whatever the image holds.
    char call[sizeof conf_image.station_call + 1];
    std::memcpy(call, conf_image.station_call, sizeof conf_image.station_call);
    call[sizeof conf_image.station_call] = '\0';

    con_print("Configuration:\nStation Call\t%*s\tSSID 0x%02x\nBase Lat %10.6f\tLon %11.5f\n"
              "Host  baud\t%lu\nDSTAR baud\t%lu\nTNC   baud\t%lu\n"
              "WIDE Max %u\tWIDE Total %u\tDupe Window %u sec.\nNSR: %sabled\tRelay: %sabled\n",
              CONF_CALL_MAX, call, static_cast<unsigned>(conf_image.station_ssid),
              static_cast<double>(conf_image.base_lat), static_cast<double>(conf_image.base_lon), static_cast<unsigned long>(conf_image.host_baud),
              static_cast<unsigned long>(conf_image.dstar_baud), static_cast<unsigned long>(conf_image.tnc_baud),
              static_cast<unsigned>(conf_image.wide_max), static_cast<unsigned>(conf_image.wide_total),
              static_cast<unsigned>(conf_image.dupe_window), on_off(conf_image.nsr), on_off(conf_image.relay));

    int count = digipath_count;
    if (count < 0) count = 0;
    if (count > DIGI_PATH_SLOTS) count = DIGI_PATH_SLOTS;
    con_print("Digi Path[%d]: ", static_cast<int>(digipath_count));
    for (int i = 0; i < count; ++i) {
        con_print("%.*s%s", DIGI_PATH_CHARS, conf_image.digi_path[i], i + 1 < count ? "," : "");
    }

    con_print("\nLog Port: %s\nFix Valid: %s\tPass packets without valid position: %s\n"
              "Halt On Error: %s\tDrop Mangled Packet: %s\nRule count %u\tImplicit Rule Action: %s\n",
              yes_no(conf_image.log_port), yes_no(conf_image.fix_valid), yes_no(conf_image.pass_no_position),
              yes_no(conf_image.halt_on_error), yes_no(conf_image.drop_mangled),
              static_cast<unsigned>(conf_image.rule_count), implicit_action_word(conf_image.implicit_action));
}
