// Library version, read by the build as well.
#pragma once

#define KORVANE_VERSION "0.1.0"
