// The help text of the angles command.
#pragma once

extern const char angles_help[];
