// Everything of the LUMO data-transfer library.
#pragma once

#include "lumo/LumoDataSubscriber.hpp"
#include "lumo/LumoDataTransfer.hpp"
#include "lumo/LumoEncDec.hpp"
#include "lumo/LumoLogger.hpp"
#include "lumo/LumoMulticast.hpp"
#include "lumo/LumoStreamList.hpp"
#include "lumo/LumoWire.hpp"
