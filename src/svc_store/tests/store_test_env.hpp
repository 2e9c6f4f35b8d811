// Shared set-up of the store's tests: one temporary app directory per process
// (CARDMON_APP_DIR is read once), wiped before every test, and a fake runtime
// for the settings, signals, clock and log the store reads.
#pragma once

#include "store.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace storetest
{

const std::string& appDir();
// Empties data/ and the queue, and creates the database files again.
void freshStore();

using Rows = std::vector<std::vector<std::string>>;
// Every row of a select on one of the store's files (values as text).
Rows query(store::DbFile f, const std::string& sql);
long long count(store::DbFile f, const std::string& table);
// Runs statements directly on a file (fixtures: bulk rows).
void exec(store::DbFile f, const std::string& sql);
std::string fileBytes(const std::string& path);

class StoreTest : public ::testing::Test
{
  protected:
    void SetUp() override { freshStore(); }

    card::FakeRuntime fake; // settings and signals start empty, the clock stands still
    card::ScopedRuntime installed{fake};
};

} // namespace storetest
