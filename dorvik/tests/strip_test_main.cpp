// The strip tests need the application object before any widget.
#include <gtest/gtest.h>

#include <QApplication>

#include "strips/strip_set.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    dorvik::RegisterControlClasses();
    const int result = RUN_ALL_TESTS();
    dorvik::UnregisterControlClasses();
    return result;
}
