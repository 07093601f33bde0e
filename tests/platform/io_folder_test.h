#pragma once

#include "pending_io.h"
#include "temp_folder.h"

/// A temporary folder with no pending I/O result and the plain write path restored after.
class IoFolderTest : public qm::test::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        qm::takeIoResult();
    }
    void TearDown() override {
        qm::setWriteHook(nullptr);
        TempFolderTest::TearDown();
    }
};
