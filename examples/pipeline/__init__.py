"""Example tevra pipeline: orders from a CSV file, cleaned, then summarised.

``pipeline.orders`` holds the unpartitioned assets, ``pipeline.regions`` the
ones partitioned by sales region.
"""
