"""The order states the sandbox reports: integer codes with display texts."""

AWAITING_PAYMENT, PAID, DECLINED, EXPIRED = 0, 1, 2, 3
NOT_SETTLED, SETTLED, REVERSED = 0, 1, 2
NOT_REFUNDED, REFUNDED = 0, 1

PAY_TEXTS = {AWAITING_PAYMENT: "awaiting payment", PAID: "paid", DECLINED: "declined", EXPIRED: "expired"}
SETTLE_TEXTS = {NOT_SETTLED: "not settled", SETTLED: "settled", REVERSED: "reversed"}
REFUND_TEXTS = {NOT_REFUNDED: "not refunded", REFUNDED: "refunded"}
