// Marks what libkorvVexatoolsVexa2LumoLib_wirefast exports. The library is
// built with hidden visibility; exported classes carry their virtual table
// and type information, and exported static members are shared with the
// application.
#pragma once

#define KORV_VEXA2LUMOLIB_WIREFAST_EXPORT __attribute__((visibility("default")))
