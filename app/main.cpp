#include "app/ui/qt/Application.hpp"

int main(int argc, char** argv) {
    return torvane::runApplication(argc, argv);
}
