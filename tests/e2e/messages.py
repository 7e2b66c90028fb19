"""The program's texts as the end-to-end tests expect them, each written once:
the start, the command summary, and the messages that more than one test
file looks for. A text only one file needs stays in that file."""
import os

# The release's version, from the file VERSION at the top of the source tree,
# and the version text that the banner shows and the device must report.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "VERSION")) as _version_file:
    VERSION = _version_file.read().strip()
VERSION_TEXT = b"Version " + VERSION.encode()

BANNER = (b"Quorvantis PC Host Utility " + VERSION_TEXT + b", written by the quorvantis-host developers\n"
          b"for the Quorvantis packet-radio digipeater\n")
PROMPT = b"Command> "


def summary(default_baud=9600):
    """The command summary as the table of commands gives it."""
    rows = [
        ("help", "", "Displays this summary (alias ?)"),
        (".", "", "Repeats the previous command"),
        ("angles", "", "Displays the Angles format used for Lat and Lon"),
        ("baud", "baud", "Changes the baud rates on host and Quorvantis\n\t\t\t\tonce connected. Default [ ]"),
        ("configure", "file_name", "Reads a Configuration file"),
        ("dconfigure", "", "Displays the Configuration"),
        ("rules", "file_name", "Reads a Rules file"),
        ("drules", "", "Displays the Rules"),
        ("connect", "com_port [baud]", "Connect to Quorvantis at optional baud\n\t\t\t\t(8 bits No Parity 1 Stop)"),
        ("disconnect", "", "Disconnect from the Quorvantis"),
        ("download", "", "Download Configuration and Rules to Quorvantis"),
        ("firmware", "com_port file_name", "Update Quorvantis firmware from firmware file"),
        ("exit", "", "Exits this program (aliases quit, x)"),
    ]
    text = "\n\t\tCommand Summary:\n%-10s %-20s %s\n" % ("Command", "Arguments", "Comments")
    for name, args, comment in rows:
        text += "%-10s %-20s %s\n" % (name, args, comment)
        if name == "baud":
            text += " " * 10 + " Valid Baud Rates:\t"
            for rate in (4800, 9600, 19200, 38400, 57600):
                text += ("[%d] " if rate == default_baud else "%d ") % rate
            text += "\n\n"
    return text.encode()


START = BANNER + summary() + b"\n"


def unknown(word):
    return b"\a\aError: unknown command: " + word + b"\n"


MISSING_FILE_NAME = b"\a\aError: missing argument: file_name\n"

# configure and dconfigure with examples/station.cfg (no rules read yet).
STATION_ITEMS = b"Configuration items processed 17\n"
STATION_DISPLAY = (
    b"Configuration:\nStation Call\tN0CALL\tSSID 0x07\n"
    b"Base Lat  39.500000\tLon  -104.50000\n"
    b"Host  baud\t57600\nDSTAR baud\t9600\nTNC   baud\t19200\n"
    b"WIDE Max 3\tWIDE Total 6\tDupe Window 28 sec.\n"
    b"NSR: Disabled\tRelay: Enabled\n"
    b"Digi Path[2]: WIDE1-1,WIDE2-1\n"
    b"Log Port: Yes\nFix Valid: Yes\tPass packets without valid position: No\n"
    b"Halt On Error: No\tDrop Mangled Packet: Yes\n"
)
NO_RULES_COUNT = b"Rule count 0\tImplicit Rule Action: Pass\n"

# rules and drules with examples/rules.txt.
RULES_ITEMS = b"Rules processed 8, implicit 1\n"
RULES_DISPLAY = (
    b"Rule count 8 plus Implicit\n"
    b"\nAction Command   Mods Arguments\n"
    b"Drop   Implicit \n"
    b"Pass   destin    00   APRS     \n"
    b"Pass   destin    40   BEACON-3   \n"
    b"Drop   source    10   NOCALL*   \n"
    b"Pass   source    30   *   \n"
    b"Pass   circle    00   25.000 mi R, 39.500000  D Lat, -104.50000  D Lon \n"
    b"Drop   compass   00   NW Dir, 39.500000  D Lat, -104.50000  D Lon \n"
    b"Pass   rectangle 00   40.000000  D Lat1, -105.00000  D Lon1, 39.000000  D Lat2, -104.00000  D Lon2\n"
    b"Pass   sector    00   10.000 D Ang1, 80.000 D Ang2, 0.000 In R, 50.000 Out R\n"
)

# connect, baud and disconnect.
TURN_ON = (b"\a\aTURN ON the Quorvantis or CYCLE THE POWER if it is already on.\n"
           b"You have 20 seconds to do this...")


def connecting(speed):
    return b"Connecting at %d...\n" % speed + TURN_ON


def connected(speed):
    return connecting(speed) + b"\nConnected at %d\n" % speed


NOT_CONNECTED = b"\a\aError: not Connected!\n"
DISCONNECTED = b"Disconnected\n"


def could_not_open(port):
    return b"\a\aError: could not open COM port COM%d\n" % port


# download.
CONF_WARNING = (b"\a\aWarning: Configuration file has not yet been processed!\n"
                b"Do you want to use the Default Configuration? (yes|no) [no]: ")
RULES_WARNING = (b"\n\a\aWarning: Rules file has not yet been processed!\n"
                 b"Do you  want to use the Implicit Rule only without specific rules?\n"
                 b"(yes|no) [no]: ")
CONF_OK = b"Downloading Configuration succeeded\n"
RULES_OK = b"Downloading Rules succeeded\n"
ENDING = (b"\a\aPlease Power OFF the Quorvantis and power it back on to RESET it.\n"
          b"Disconnected\n")
DOWNLOADED = CONF_OK + RULES_OK + ENDING
ABORTED = b"\a\aDownload Aborted!\n"

# firmware: the questions, the power-on request and the endings.
FW_CONFIRM = (b"\a\aWARNING! This will alter the Quorvantis firmware!\n"
              b"Do you want to continue (n or y)? [n]: ")
FW_ABOUT = (b"\n\a\aWARNING! The Quorvantis Firmware is about to be updated!\n"
            b"This will take less than 5 minutes.\n"
            b"Do NOT interrupt the process once started!\n"
            b"If power is interrupted during this process you may not be able\n"
            b"to communicate with the Quorvantis due to firmware corruption.\n"
            b"If this happens correct the power problem and restart this entire process.\n\n"
            b"Type the Enter key when you are ready to continue...")
FW_POWER = (b"\nTo begin TURN ON the Quorvantis or CYCLE THE POWER if it is already on.\n"
            b"\a\aYou have 20 seconds to do this...")
FW_SUCCEEDED = (b"\a\aFirmware update succeeded!\n\nPower cycle Quorvantis!\n"
                b"Don't forget to Configure Operating Parameters, Process Rules\n"
                b"and Download these to the Quorvantis!\n")
FW_FAILED = b"Error: Firmware update failed!\n\tPower cycle Quorvantis and try again!\n"
FW_NOT_UPDATED = b"Quorvantis Firmware will NOT be updated!\n"
FW_NO_PROMPT = b"\n\a\aError: did not receive the Quorvantis Firmware prompt!\n"
