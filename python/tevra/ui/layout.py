"""Where each asset of the graph picture goes: layers from left to right, an asset's
layer being the longest path from a source to it, so every edge points rightwards;
within a layer, assets are ordered by where their upstreams stand, which keeps most
edges short and uncrossed. One edge per input."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

NODE_W, NODE_H = 190, 48
GAP_X, GAP_Y = 70, 16
MARGIN = 10


@dataclass(frozen=True, slots=True)
class Box:
    key: str
    x: int
    y: int


@dataclass(frozen=True, slots=True)
class Edge:
    upstream: str
    downstream: str
    param: str
    path: str  # the SVG path data


@dataclass(frozen=True, slots=True)
class Layout:
    boxes: list[Box]
    edges: list[Edge]
    width: int
    height: int


def layout(order: Sequence[tuple[str, Sequence[tuple[str, str]]]]) -> Layout:
    """``order``: (key, ((parameter, upstream key), ...)) with upstreams first."""
    layer: dict[str, int] = {}
    for key, inputs in order:
        layer[key] = 1 + max((layer[u] for _, u in inputs if u in layer), default=-1)
    layers: list[list[str]] = [[] for _ in range(1 + max(layer.values(), default=-1))]
    inputs_of = dict(order)
    rank: dict[str, float] = {}
    for key, _ in order:
        layers[layer[key]].append(key)
    for members in layers:
        def barycentre(key: str) -> float:
            ups = [rank[u] for _, u in inputs_of[key] if u in rank]
            return sum(ups) / len(ups) if ups else float("inf")
        members.sort(key=barycentre)  # stable: sources keep their order
        for i, key in enumerate(members):
            rank[key] = i
    boxes: dict[str, Box] = {}
    for col, members in enumerate(layers):
        for row, key in enumerate(members):
            boxes[key] = Box(key, MARGIN + col * (NODE_W + GAP_X), MARGIN + row * (NODE_H + GAP_Y))
    edges = []
    for key, inputs in order:
        down = boxes[key]
        for i, (param, up_key) in enumerate(inputs):
            up = boxes.get(up_key)
            if up is None:
                continue
            # Several inputs arrive spread over the box's left side.
            y2 = down.y + NODE_H * (i + 1) // (len(inputs) + 1)
            x1, y1 = up.x + NODE_W, up.y + NODE_H // 2
            x2 = down.x
            bend = max(GAP_X // 2, (x2 - x1) // 3)
            edges.append(Edge(up_key, key, param,
                              f"M{x1},{y1} C{x1 + bend},{y1} {x2 - bend},{y2} {x2},{y2}"))
    width = MARGIN * 2 + max(1, len(layers)) * (NODE_W + GAP_X) - GAP_X
    height = MARGIN * 2 + max((len(m) for m in layers), default=1) * (NODE_H + GAP_Y) - GAP_Y
    return Layout([boxes[k] for k, _ in order], edges, width, height)
