// AColor lives with Color; this header exists so sources can include it under its SDK name.
#pragma once

#include "color.h"
