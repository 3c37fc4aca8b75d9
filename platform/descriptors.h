// Descriptor set-up of a process that must hold nothing it was not meant
// to: standard descriptors on /dev/null, inherited ones closed.
#pragma once

constexpr int highest_inherited_descriptor = 255;

// Points descriptors first to last at /dev/null, opened with flags. One
// that cannot be pointed there is closed, all of them when /dev/null cannot
// be opened (-1 then, else 0).
int descriptors_to_null(int first, int last, int flags);

// Closes every descriptor from first up to highest_inherited_descriptor but
// keep (-1 keeps none).
void descriptors_close_from(int first, int keep);
