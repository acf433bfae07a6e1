// The page buffers of the image pipeline: line art (1 bit), gray (8 bit),
// colour (24 bit) and turbo line art.
#pragma once

#include "ScanImageBuf1.h"
#include "ScanImageBuf24.h"
#include "ScanImageBuf8.h"
#include "ScanImageTurbo.h"
