// Descriptor set-up of a process that must hold nothing it was not meant
// to: standard descriptors on /dev/null, inherited ones closed.
#pragma once

// Points descriptors first to last at /dev/null, opened with flags. One
// that cannot be pointed there is closed, all of them when /dev/null cannot
// be opened (-1 then, else 0).
int descriptors_to_null(int first, int last, int flags);

// Closes every descriptor from first on, whatever its number, but keep (-1
// keeps none): with close_range, or where the kernel lacks it through
// descriptors_close_listed, or failing that up to descriptor 255.
void descriptors_close_from(int first, int keep);

// The same through the process's own list of its descriptors
// (/proc/self/fd); -1 when that list cannot be read.
int descriptors_close_listed(int first, int keep);
