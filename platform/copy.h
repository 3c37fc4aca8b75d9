// Copying a file's content by the kernel's own copy call.
#pragma once

// Copies all of from, from its first byte whatever its offset, to to at
// to's offset: in the kernel (copy_file_range) where it can, else by reads
// and whole writes (a kernel without the call, or files it cannot copy
// between). 0, or -1 with errno set.
int platform_copy_file(int from, int to);
