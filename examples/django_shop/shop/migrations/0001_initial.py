from django.db import migrations, models


class Migration(migrations.Migration):
    initial = True
    dependencies = []
    operations = [
        migrations.CreateModel(
            name="Order",
            fields=[
                ("id", models.BigAutoField(auto_created=True, primary_key=True, serialize=False, verbose_name="ID")),
                ("product", models.CharField(max_length=100)),
                ("amount", models.DecimalField(decimal_places=2, max_digits=12)),
                ("tavori_order_id", models.CharField(max_length=64, null=True, unique=True)),
                ("state", models.CharField(default="pending", max_length=16)),
                ("settled", models.BooleanField(default=False)),
                ("refunded", models.BooleanField(default=False)),
                ("callbacks", models.PositiveIntegerField(default=0)),
                ("created", models.DateTimeField(auto_now_add=True)),
            ],
        ),
    ]
