// Runner of the core tests: `core_tests --list` names them, `core_tests NAME...` runs them.
#include <cstring>
#include <exception>
#include <iostream>

#include "check.hpp"

int main(int argc, char** argv) {
    auto& tests = quorvel::testing::registry();
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const auto& [name, body] : tests) std::cout << name << "\n";
        return 0;
    }
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        auto it = tests.find(argv[i]);
        if (it == tests.end()) {
            std::cerr << "no test named " << argv[i] << "\n";
            return 2;
        }
        try {
            it->second();
        } catch (const std::exception& e) {
            std::cerr << argv[i] << ": " << e.what() << "\n";
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}
