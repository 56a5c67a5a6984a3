"""Leaderboard: the top N by score while the scores keep changing.

Players gain points in rounds by ordinary attribute assignment; after each
round the board asks the index for the ten best, overall and per region,
without sorting every player. Each answer is checked against sorted() over
the same players.

    python examples/leaderboard.py
"""

from __future__ import annotations

import random

from Quarrydex import Index, Indexable, PyQueryExpr as Q


class Player(Indexable):
    name: str
    region: str
    score: int


def names(found: list[Indexable]) -> list[str]:
    return [p.name for p in found if isinstance(p, Player)]


def top(players: list[Player], n: int, listed: dict[int, int]) -> list[str]:
    """The same question in plain Python: highest score first, ties in the
    order collect() lists the players (the index's own tie order)."""
    ranked = sorted(players, key=lambda p: (-p.score, listed[id(p)]))
    return [p.name for p in ranked[:n]]


def main() -> None:
    rng = random.Random(7)
    players = [
        Player(name=f"p{n:04d}", region=rng.choice(["eu", "us", "asia"]), score=0)
        for n in range(5000)
    ]
    board = Index()
    board.add_object_many(players)
    europe = board.reduced(region="eu")  # a fixed view; its players' scores keep moving
    listed = {id(p): position for position, p in enumerate(board.collect())}

    for round_number in range(1, 4):
        for player in rng.sample(players, 1500):
            player.score += rng.randrange(1, 100)  # every write updates the index
        best = board.order_by("score", descending=True, limit=10)
        assert names(best) == top(players, 10, listed)
        best_eu = europe.order_by("score", descending=True, limit=3)
        assert names(best_eu) == top([p for p in players if p.region == "eu"], 3, listed)
        leader = best[0]
        assert isinstance(leader, Player)
        print(f"round {round_number}: leader {leader.name} with {leader.score}, "
              f"eu top 3 {names(best_eu)}")

    # A player who leaves is taken out; the board answers without them.
    leaver = board.order_by("score", descending=True, limit=1)[0]
    board.remove_object(leaver)
    remaining = [p for p in players if p is not leaver]
    assert leaver not in board and len(board) == len(remaining)
    assert names(board.order_by("score", descending=True, limit=10)) == top(remaining, 10, listed)

    # Counting needs no list: players above a threshold.
    threshold = 150
    above = board.reduced_query(Q.ge("score", threshold))
    assert len(above) == sum(p.score >= threshold for p in remaining)
    print(f"{len(above)} of {len(board)} players have at least {threshold} points")


if __name__ == "__main__":
    main()
