"""Order assets: read the bundled CSV, clean it, total it per day."""

import csv
from pathlib import Path
from typing import TypedDict

from tevra import asset

ORDERS_CSV = Path(__file__).with_name("orders.csv")


class Order(TypedDict):
    """One cleaned order, as clean_orders passes it on."""

    order_id: int
    date: str
    region: str
    customer: str
    amount: float


@asset()
def raw_orders() -> list[dict[str, str]]:
    """Every row of the orders file, as read (all fields are strings)."""
    with ORDERS_CSV.open(newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


@asset(inputs={"rows": raw_orders})
def clean_orders(rows: list[dict[str, str]]) -> list[Order]:
    """Orders with a positive amount, each order id once, amounts as numbers."""
    seen: set[str] = set()
    cleaned: list[Order] = []
    for row in rows:
        if not row["amount"] or row["order_id"] in seen:
            continue
        amount = float(row["amount"])
        if amount <= 0:
            continue
        seen.add(row["order_id"])
        cleaned.append({
            "order_id": int(row["order_id"]),
            "date": row["date"],
            "region": row["region"],
            "customer": row["customer"],
            "amount": amount,
        })
    return cleaned


@asset(inputs={"orders": clean_orders})
def daily_totals(orders: list[Order]) -> dict[str, float]:
    """Total order amount per day, days in date order."""
    totals: dict[str, float] = {}
    for order in sorted(orders, key=lambda o: o["date"]):
        totals[order["date"]] = round(totals.get(order["date"], 0.0) + order["amount"], 2)
    return totals
