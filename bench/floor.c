/* The floor: a static program that only starts and exits. */
int main(void)
{
    return 0;
}
