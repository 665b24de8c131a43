"""Per-region assets: one run per sales region."""

# Import the module, not the assets: an asset imported by name would be
# discovered again as a member of this module.
from pipeline import orders as order_assets
from tevra import asset, partitions

REGIONS = partitions(["north", "south", "west"])


@asset(partitions={"region": REGIONS}, inputs={"orders": order_assets.clean_orders})
def region_orders(region: str, orders: list[order_assets.Order]) -> list[order_assets.Order]:
    """The cleaned orders placed in one region."""
    return [o for o in orders if o["region"] == region]


@asset(partitions={"region": REGIONS}, inputs={"orders": region_orders})
def region_summary(region: str, orders: list[order_assets.Order]) -> dict[str, str | int | float | None]:
    """Order count, revenue and best customer of one region."""
    by_customer: dict[str, float] = {}
    for o in orders:
        by_customer[o["customer"]] = by_customer.get(o["customer"], 0.0) + o["amount"]
    return {
        "region": region,
        "orders": len(orders),
        "revenue": round(sum(by_customer.values()), 2),
        "top_customer": max(by_customer, key=lambda c: by_customer[c]) if by_customer else None,
    }
