"""A workload made only of user code: recursion, methods and generators."""


def fibonacci(n):
    return n if n < 2 else fibonacci(n - 1) + fibonacci(n - 2)


class Account:
    def __init__(self, balance):
        self.balance = balance

    def deposit(self, amount):
        self.balance += amount
        return self.balance

    def report(self):
        return "balance=%d" % self.balance


def countdown(n):
    while n:
        yield n
        n -= 1


def run(scale=1):
    total = 0
    for _ in range(scale):
        total += fibonacci(15)
        account = Account(0)
        for amount in range(200):
            account.deposit(amount)
        total += len(account.report())
        total += sum(countdown(300))
    return total
