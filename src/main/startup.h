// main: the agent's start-up, its command line and the stand-alone hex-to-ASCII mode.
#pragma once

namespace ovik {

// The whole agent: returns the exit status of a start-up that ends early; after a run it never
// returns.
int agent_main(int argc, char** argv);

// Prints the usage text and ends the process with status 1.
[[noreturn]] void usage(const char* program);

// -T: the text read as pairs of hexadecimal digits, written as the characters they encode.
void print_hex_as_ascii(const char* text);

// Value of one hexadecimal digit ("0"-"9", "A"-"F", and "a"-"f"); -1 for anything else.
int hex_digit_value(char c);
// high * 16 + low; -1 when either is not a hexadecimal digit.
int hex_pair_value(char high, char low);

}  // namespace ovik
