#pragma once

// Names the calling thread (at most 15 characters are kept), so that `top -H`,
// `ps -L` and profilers tell a pane's threads apart.
void NameThisThread(const char* name);
