// gen_credentials N: writes N realistic credential lines to standard output.
#include "credentials.hpp"

#include <iostream>
#include <string>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::cerr << "usage: gen_credentials N\n";
        return 2;
    }
    std::cout << realistic_credentials(std::stoul(argv[1]));
    return std::cout.flush() ? 0 : 1;
}
