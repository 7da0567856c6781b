// The lines that count, and the winner of boards that play cannot reach: a row and a
// column always share a square, so both players can hold lines only as two rows or two
// columns.
#include <gtest/gtest.h>

#include <array>

#include "noughts.cpp"

namespace {

class NoughtsTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { b32::heap::reserve(); }
};

Ref<board> boardOf(const std::array<int, 9>& squares) {
  Ref<board> b = newRecord<board>();
  cleanBoard(b);
  for (int position = 1; position <= 9; ++position) placePiece(b, squares[position - 1], position);
  return b;
}

TEST_F(NoughtsTest, CheckWinner) {
  struct Row {
    const char* what;
    std::array<int, 9> squares;
    int expected;
  };
  const Row rows[] = {
      {"empty", {0, 0, 0, 0, 0, 0, 0, 0, 0}, -1},
      {"player 1 bottom row", {0, 0, 0, 0, 0, 0, 1, 1, 1}, 0},
      {"player 2 right column", {0, 0, 2, 0, 0, 2, 0, 0, 2}, 1},
      {"diagonal 1-5-9", {1, 0, 0, 0, 1, 0, 0, 0, 1}, -1},
      {"diagonal 3-5-7", {0, 0, 2, 0, 2, 0, 2, 0, 0}, -1},
      {"mixed pieces fill no line", {1, 2, 1, 2, 1, 2, 2, 1, 2}, -1},
      {"two rows: the upper one wins", {2, 2, 2, 1, 1, 1, 0, 0, 0}, 1},
      {"two rows: the upper one wins, player 1", {1, 1, 1, 0, 0, 0, 2, 2, 2}, 0},
      {"two columns: the left one wins", {1, 2, 0, 1, 2, 0, 1, 2, 0}, 0},
      {"two columns: player 2 on the left", {2, 1, 0, 2, 1, 0, 2, 1, 0}, 1},
      {"two columns: middle before right", {0, 1, 2, 0, 1, 2, 0, 1, 2}, 0},
  };
  for (const Row& row : rows) {
    Ref<board> b = boardOf(row.squares);
    EXPECT_EQ(checkWinner(b), row.expected) << row.what;
    release(b);
  }
}

TEST_F(NoughtsTest, PlacePieceOnlyOnTheBoard) {
  Ref<board> b = boardOf({0, 0, 0, 0, 0, 0, 0, 0, 0});
  for (int position : {0, 10, -1, -2147483647 - 1, 2147483647}) placePiece(b, 1, position);
  placePiece(b, 2, 5);
  placePiece(b, 1, 5); // a taken square changes hands
  const Int squares[] = {b->cell1, b->cell2, b->cell3, b->cell4, b->cell5,
                         b->cell6, b->cell7, b->cell8, b->cell9};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(squares[i], i == 4 ? 1 : 0) << "square " << i + 1;
  release(b);
}

} // namespace
