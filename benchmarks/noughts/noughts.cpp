// noughts: two players place pieces on a three-by-three board, their moves read
// from standard input one position each, player 1 first. The board is written before
// every move; after at most eight moves the program writes 1 or 2 for the player who
// filled a row or a column, or 0. Diagonals win nothing.
#include "bench32.hpp"

namespace {
using namespace b32;

// One square per field, row by row: 0 empty, 1 or 2 the player holding it.
struct board {
  Int cell1, cell2, cell3;
  Int cell4, cell5, cell6;
  Int cell7, cell8, cell9;
};

void cleanBoard(Ref<board> b) {
  b->cell1 = 0;
  b->cell2 = 0;
  b->cell3 = 0;
  b->cell4 = 0;
  b->cell5 = 0;
  b->cell6 = 0;
  b->cell7 = 0;
  b->cell8 = 0;
  b->cell9 = 0;
}

void printBoard(Ref<board> b) {
  print(b->cell1);
  print(b->cell2);
  println(b->cell3);
  print(b->cell4);
  print(b->cell5);
  println(b->cell6);
  print(b->cell7);
  print(b->cell8);
  println(b->cell9);
}

// The numbering of the squares, for a player at a terminal; the game never shows it,
// so the compiler may drop it.
[[maybe_unused]] void printMoveBoard() {
  println(123);
  println(456);
  println(789);
}

// Any position outside 1 to 9 places nothing.
void placePiece(Ref<board> b, Int piece, Int position) {
  if (position == 1) {
    b->cell1 = piece;
  } else if (position == 2) {
    b->cell2 = piece;
  } else if (position == 3) {
    b->cell3 = piece;
  } else if (position == 4) {
    b->cell4 = piece;
  } else if (position == 5) {
    b->cell5 = piece;
  } else if (position == 6) {
    b->cell6 = piece;
  } else if (position == 7) {
    b->cell7 = piece;
  } else if (position == 8) {
    b->cell8 = piece;
  } else if (position == 9) {
    b->cell9 = piece;
  }
}

// 0 when player 1 holds a row or a column, 1 when player 2 does, -1 otherwise. The
// lines are tried rows first, then columns, player 1 before player 2 on each.
Int checkWinner(Ref<board> b) {
  if (b->cell1 == 1 && b->cell2 == 1 && b->cell3 == 1) return 0;
  if (b->cell1 == 2 && b->cell2 == 2 && b->cell3 == 2) return 1;
  if (b->cell4 == 1 && b->cell5 == 1 && b->cell6 == 1) return 0;
  if (b->cell4 == 2 && b->cell5 == 2 && b->cell6 == 2) return 1;
  if (b->cell7 == 1 && b->cell8 == 1 && b->cell9 == 1) return 0;
  if (b->cell7 == 2 && b->cell8 == 2 && b->cell9 == 2) return 1;
  if (b->cell1 == 1 && b->cell4 == 1 && b->cell7 == 1) return 0;
  if (b->cell1 == 2 && b->cell4 == 2 && b->cell7 == 2) return 1;
  if (b->cell2 == 1 && b->cell5 == 1 && b->cell8 == 1) return 0;
  if (b->cell2 == 2 && b->cell5 == 2 && b->cell8 == 2) return 1;
  if (b->cell3 == 1 && b->cell6 == 1 && b->cell9 == 1) return 0;
  if (b->cell3 == 2 && b->cell6 == 2 && b->cell9 == 2) return 1;
  return -1;
}

Int main() {
  Ref<board> gameBoard = newRecord<board>();
  cleanBoard(gameBoard);

  Int turn = 0; // 0 when player 1 moves next, 1 for player 2
  Int moves = 0;
  Int result = -1;
  // Eight moves at most: the ninth square is never played.
  while (result < 0 && moves != 8) {
    printBoard(gameBoard);
    if (turn == 0) {
      turn = 1;
      Int position = read();
      placePiece(gameBoard, 1, position);
    } else {
      turn = 0;
      Int position = read();
      placePiece(gameBoard, 2, position);
    }
    result = checkWinner(gameBoard);
    moves = moves + 1;
  }
  println(result + 1);
  return 0;
}

} // namespace

b32::Int b32::programMain() { return main(); }
