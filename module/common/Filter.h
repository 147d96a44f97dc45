#pragma once

// The filter logic's start and unload, in the order the platform's driver
// entry and unload run them. The platform creates its control device and
// packet path around these: before start nothing may call into the filter,
// and unload begins once no request or classify call is in progress.

// 1 on success; on failure whatever was set up is released again.
int ZorvaneFilterStart();
// Stops the injection worker, ends every read, frees the maps and pools.
void ZorvaneFilterUnload();
