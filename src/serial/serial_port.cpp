#include "serial/serial_port.h"

char port_name[8];
serial_handle port_handle = SERIAL_INVALID_HANDLE;
uint8_t rx_buffer[1024];
serial_settings port_settings;
serial_timeouts port_timeouts;

int open_port(const char*, uint32_t) { return -2; }
int set_comm_prop(const char*, uint32_t) { return -1; }
int write_port(const char*, const void*, int) { return -3; }
int read_port(const char*, void*, int, int) { return 0; }
void purge_port() {}
void close_port() { port_handle = SERIAL_INVALID_HANDLE; }
