#pragma once

#include <cstdint>

/// A node's geometry. Each detail has an identifier unique in the process.
class GU_Detail
{
public:
  GU_Detail();
  GU_Detail(GU_Detail const&) = delete;
  GU_Detail& operator=(GU_Detail const&) = delete;

  int64_t getUniqueId() const { return _uniqueId; }

private:
  int64_t _uniqueId;
};
