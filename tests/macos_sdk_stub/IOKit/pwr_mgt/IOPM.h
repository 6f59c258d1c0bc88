#pragma once
// Stands for the SDK header of the same name: see apple_sdk.h.
#include "../../apple_sdk.h"
