// Marks the symbols libkorvVexatoolsLib exports. The library is built with
// hidden visibility; exported classes carry their virtual table and type
// information so that other libraries and programs can derive from them.
#pragma once

#define KORV_VEXATOOLS_EXPORT __attribute__((visibility("default")))
