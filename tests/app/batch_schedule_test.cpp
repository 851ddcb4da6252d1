// Which file of a silent batch waits for which. Plain C++: built natively as well as for Windows.
#include "app/batch_schedule.h"

#include <gtest/gtest.h>

namespace vellumora {
namespace {

TEST(BatchSchedule, AFileWaitsForTheLatestEarlierOneThatCouldTakeItsNameOrIsTheSameFile) {
  EXPECT_EQ(OutputNameRoot(L"IMG (2) (10)"), L"IMG");
  for (const wchar_t* kept : {L"IMG(2)", L"IMG ()", L"IMG (2a)", L"(2)"}) EXPECT_EQ(OutputNameRoot(kept), kept);
  const std::vector<BatchFileKeys> files = {{L"C:\\OUT\\A", L"1:7"},
                                            {L"C:\\OUT\\B", L""},
                                            {L"C:\\OUT\\A", L"1:8"},
                                            {L"D:\\OUT\\A", L"1:7"},
                                            {L"C:\\OUT\\A", L"1:7"}};
  EXPECT_EQ(BatchPredecessors(files), (std::vector<std::vector<std::size_t>>{{}, {}, {0}, {0}, {2, 3}}));
}

}  // namespace
}  // namespace vellumora
