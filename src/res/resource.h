#pragma once

// Resource ids of RadeVare.exe. The two bar images are the only resources
// the code reads (resource type "PNG").
#define IDI_RADEVARE 101
#define IDR_PNG_FILL 133  // bright blue fill of the bar, 552 x 12 RGBA
#define IDR_PNG_TRACK 134 // near-black empty track, 552 x 12 RGBA
