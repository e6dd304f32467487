// The unit tests' precompiled header: the common one and GoogleTest.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common.h"
