// Cloud-config user data and root's password hash.
#pragma once

// Reads a "#cloud-config" text (cut up in place); warns about scripts.
// Null means no user data.
void user_data_step(char *text);
// Settles password_hash from the stored file, or makes a new one.
// 0, or -1 when the run must end with status 1 without a message.
int password_hash_step(const char *output_dir);
